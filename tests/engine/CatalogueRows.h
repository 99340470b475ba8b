#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QUuid>
#include <QVariant>

// The rows of a catalogue file as "id|wenjianming|shijian", id order, read over a
// connection of the test's own so the catalogue under test is not involved.
inline QStringList CatalogueRows(const QString& fileName = QStringLiteral("wenjianming.mdb")) {
    const QString name = QUuid::createUuid().toString();
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(fileName);
        if (db.open()) {
            QSqlQuery query(db);
            query.exec(
                QStringLiteral("select id, wenjianming, shijian from wenjianming order by id"));
            while (query.next()) {
                rows << query.value(0).toString() + u'|' + query.value(1).toString() + u'|' +
                            query.value(2).toString();
            }
        }
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}

// Only the paths, id order.
inline QStringList CataloguePaths(const QString& fileName = QStringLiteral("wenjianming.mdb")) {
    QStringList paths;
    for (const QString& row : CatalogueRows(fileName)) {
        paths << row.section(u'|', 1, 1);
    }
    return paths;
}
