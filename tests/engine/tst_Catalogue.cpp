#include "CatalogueRows.h"
#include "TaskFolder.h"
#include "TestFiles.h"
#include "engine/Catalogue.h"
#include "platform/Error.h"
#include "platform/FileDescriptor.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlRecord>
#include <QTest>
#include <limits>

#include <fcntl.h>
#include <sys/file.h>

class CatalogueTest : public QObject {
    Q_OBJECT
private slots:
    void threeDaysKeepTwoGivesTheOldest();
    void tiesAtTheNthPlaceStayOut();
    void keepCounts_data();
    void keepCounts();
    void sameDayRunReplacesItsRow();
    void brokenCatalogue_data();
    void brokenCatalogue();
    void createMakesTheTable();
    void createWhenTheNameIsTaken_data();
    void createWhenTheNameIsTaken();
};

namespace {

const QDate kDay(2026, 5, 14);

QStringList Paths(const std::vector<Catalogue::Row>& rows) {
    QStringList paths;
    for (const Catalogue::Row& row : rows) {
        paths << row.wenjianming;
    }
    paths.sort();
    return paths;
}

QStringList FolderEntries(const QString& folder = QStringLiteral(".")) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                  QDir::NoDotAndDotDot);
}

}  // namespace

void CatalogueTest::threeDaysKeepTwoGivesTheOldest() {
    TaskFolder task;
    QVERIFY(Catalogue::Create());
    Catalogue catalogue;
    // Across a month and a year boundary, so only a year-first text keeps date order.
    catalogue.RecordBackup("/bk/a_251231", QDate(2025, 12, 31));
    catalogue.RecordBackup("/bk/a_260101", QDate(2026, 1, 1));
    catalogue.RecordBackup("/bk/a_260201", QDate(2026, 2, 1));
    const std::vector<Catalogue::Row> rows = catalogue.RetentionRows(2);
    QCOMPARE(rows.size(), size_t(1));
    QCOMPARE(rows[0].wenjianming, QString("/bk/a_251231"));
    QCOMPARE(rows[0].shijian, QString("2025-12-31"));
    QCOMPARE(rows[0].id, CatalogueRows().first().section(u'|', 0, 0).toLongLong());
}

void CatalogueTest::tiesAtTheNthPlaceStayOut() {
    TaskFolder task;
    QVERIFY(Catalogue::Create());
    Catalogue catalogue;
    catalogue.RecordBackup("/bk/a_260510", kDay.addDays(-4));
    catalogue.RecordBackup("/bk/a_260512", kDay.addDays(-2));
    catalogue.RecordBackup("/other/a_260512", kDay.addDays(-2));
    catalogue.RecordBackup("/bk/a_260514", kDay);
    QCOMPARE(Paths(catalogue.RetentionRows(2)), QStringList{"/bk/a_260510"});
    QCOMPARE(Paths(catalogue.RetentionRows(1)),
             (QStringList{"/bk/a_260510", "/bk/a_260512", "/other/a_260512"}));
}

void CatalogueTest::keepCounts_data() {
    QTest::addColumn<qint64>("keep");
    QTest::addColumn<int>("outside");
    QTest::newRow("one") << qint64(1) << 4;
    QTest::newRow("all but one") << qint64(4) << 1;
    QTest::newRow("exactly all") << qint64(5) << 0;
    QTest::newRow("more than all") << qint64(6) << 0;
    QTest::newRow("largest count") << std::numeric_limits<qint64>::max() << 0;
}

// The count goes in as a bound number: every value, the extremes included, is a count.
void CatalogueTest::keepCounts() {
    QFETCH(qint64, keep);
    QFETCH(int, outside);
    TaskFolder task;
    QVERIFY(Catalogue::Create());
    Catalogue catalogue;
    for (int day = 0; day < 5; ++day) {
        catalogue.RecordBackup(QString("/bk/a_%1").arg(day), kDay.addDays(day));
    }
    QCOMPARE(catalogue.RetentionRows(keep).size(), size_t(outside));
    QCOMPARE(CatalogueRows().size(), 5);
}

void CatalogueTest::sameDayRunReplacesItsRow() {
    TaskFolder task;
    QVERIFY(Catalogue::Create());
    Catalogue catalogue;
    catalogue.RecordBackup("/bk/a_260514", kDay);
    catalogue.RecordBackup("/bk/b_260514", kDay);
    catalogue.RecordBackup("/bk/a_260514", kDay.addDays(1));
    catalogue.RecordBackup("/bk/a_260514", kDay);
    QCOMPARE(CatalogueRows(), (QStringList{"2|/bk/b_260514|2026-05-14", "3|/bk/a_260514|2026-05-15",
                                           "4|/bk/a_260514|2026-05-14"}));
}

void CatalogueTest::brokenCatalogue_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("garbage") << "garbage";
    QTest::newRow("folder") << "folder";
    QTest::newRow("missing") << "missing";
}

void CatalogueTest::brokenCatalogue() {
    QFETCH(QString, kind);
    TaskFolder task;
    const QByteArray garbage = QByteArray("this is no database\n").repeated(100);
    if (kind == "garbage") {
        QVERIFY(WriteBytes("wenjianming.mdb", garbage));
    } else if (kind == "folder") {
        QVERIFY(QDir().mkdir("wenjianming.mdb"));
    }
    Catalogue catalogue;
    QStringList texts;
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            catalogue.RecordBackup("/bk/a_260514", kDay);
        } catch (const Error& error) {
            texts << error.message();
        }
        try {
            catalogue.RetentionRows(1);
        } catch (const Error& error) {
            texts << error.message();
        }
    }
    QCOMPARE(texts.size(), 4);
    const QString expected = kind == "garbage" ? "file is not a database" : "unable to open";
    for (const QString& text : texts) {
        QVERIFY2(text.contains(expected), qPrintable(text));
    }
    if (kind == "garbage") {
        QCOMPARE(ReadBytes("wenjianming.mdb"), garbage);
    } else if (kind == "folder") {
        QVERIFY(QFileInfo("wenjianming.mdb").isDir());
        QVERIFY(FolderEntries("wenjianming.mdb").isEmpty());
    }
    QCOMPARE(FolderEntries(), kind == "missing" ? QStringList{} : QStringList{"wenjianming.mdb"});
}

void CatalogueTest::createMakesTheTable() {
    TaskFolder task;
    QVERIFY(!Catalogue::Present());
    // What a creation cut short left goes; one that another process is making stays.
    QVERIFY(WriteBytes(".wenjianming.mdb.1.new", "") &&
            WriteBytes(".wenjianming.mdb.1.new-journal", ""));
    QVERIFY(WriteBytes(".wenjianming.mdb.2.new", "") &&
            WriteBytes(".wenjianming.mdb.3.new-journal", ""));
    const FileDescriptor busy(::open(".wenjianming.mdb.2.new", O_RDONLY));
    QVERIFY(::flock(busy.get(), LOCK_EX) == 0);
    Catalogue::ClearLeftScratch();
    QVERIFY(Catalogue::Create());
    QVERIFY(Catalogue::Present());
    QCOMPARE(FolderEntries(), (QStringList{".wenjianming.mdb.2.new", "wenjianming.mdb"}));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "inspect");
        db.setDatabaseName("wenjianming.mdb");
        QVERIFY(db.open());
        const QSqlRecord columns = db.record("wenjianming");
        QCOMPARE(columns.count(), 3);
        QCOMPARE(columns.fieldName(0), QString("id"));
        QCOMPARE(columns.fieldName(1), QString("wenjianming"));
        QCOMPARE(columns.fieldName(2), QString("shijian"));
    }
    QSqlDatabase::removeDatabase("inspect");
    QVERIFY(CatalogueRows().isEmpty());
}

void CatalogueTest::createWhenTheNameIsTaken_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("made");
    QTest::newRow("folder in the way") << "folder" << false;
    QTest::newRow("catalogue already there") << "file" << false;
    QTest::newRow("link in the way") << "link" << false;
    QTest::newRow("empty file of a creation cut short") << "empty" << true;
}

void CatalogueTest::createWhenTheNameIsTaken() {
    QFETCH(QString, kind);
    QFETCH(bool, made);
    TaskFolder task;
    if (kind == "folder") {
        QVERIFY(QDir().mkdir("wenjianming.mdb"));
    } else if (kind == "link") {
        QVERIFY(QFile::link("elsewhere.mdb", "wenjianming.mdb"));
    } else {
        QVERIFY(WriteBytes("wenjianming.mdb", kind == "file" ? "kept as it is" : ""));
    }
    QCOMPARE(Catalogue::Present(), kind == "file");
    QCOMPARE(Catalogue::Create(), made);
    QCOMPARE(FolderEntries(), QStringList{"wenjianming.mdb"});
    if (kind == "file") {
        QCOMPARE(ReadBytes("wenjianming.mdb"), QByteArray("kept as it is"));
    }
    if (made) {
        Catalogue().RecordBackup("/bk/a_260514", kDay);
        QCOMPARE(CatalogueRows(), QStringList{"1|/bk/a_260514|2026-05-14"});
    }
}

QTEST_GUILESS_MAIN(CatalogueTest)
#include "tst_Catalogue.moc"
