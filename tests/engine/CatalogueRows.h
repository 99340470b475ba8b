#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUuid>
#include <QVariant>

// The rows of a catalogue file as "id|wenjianming|shijian", id order, read over a
// connection of the test's own so the catalogue under test is not involved. A catalogue
// that cannot be opened (a missing file is not made) or read gives one line naming the
// failure, which no expected list holds.
inline QStringList CatalogueRows(const QString& fileName = QStringLiteral("wenjianming.mdb")) {
    const QString name = QUuid::createUuid().toString();
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(QStringLiteral("file:") + fileName + QStringLiteral("?mode=ro"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI"));
        if (!db.open()) {
            rows << QStringLiteral("cannot open the catalogue: ") + db.lastError().text();
        } else {
            QSqlQuery query(db);
            if (!query.exec(QStringLiteral(
                    "select id, wenjianming, shijian from wenjianming order by id"))) {
                rows << QStringLiteral("cannot read the catalogue: ") + query.lastError().text();
            }
            while (query.next()) {
                rows << query.value(0).toString() + u'|' + query.value(1).toString() + u'|' +
                            query.value(2).toString();
            }
        }
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}

// Only the paths, id order (a failure line as it is).
inline QStringList CataloguePaths(const QString& fileName = QStringLiteral("wenjianming.mdb")) {
    QStringList paths;
    for (const QString& row : CatalogueRows(fileName)) {
        paths << (row.contains(u'|') ? row.section(u'|', 1, -2) : row);
    }
    return paths;
}
