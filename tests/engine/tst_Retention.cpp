#include "CatalogueRows.h"
#include "TaskFolder.h"
#include "TreeTools.h"
#include "engine/Catalogue.h"
#include "engine/Retention.h"
#include "engine/Verify.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

using namespace TreeTools;

class RetentionTest : public QObject {
    Q_OBJECT
private slots:
    void mayDeleteOnDisk_data();
    void mayDeleteOnDisk();
    void keepsTheNewestThree();
    void tiesAtTheNthPlaceBothStay();
    void rowsOfEarlierSettingsArePrunedToo();
    void hostileRowsTouchNoDisk();
    void goneOrLinkedCopies();
    void theSourceIsNeverPruned_data();
    void theSourceIsNeverPruned();
    void leftoverOfACutShortPruningGoes();
    void count_data();
    void count();
    void rowsWithoutADay_data();
    void rowsWithoutADay();
    void failedCommitIsRolledBack();
    void verify_data();
    void verify();
};

namespace {

const QDate kToday(2026, 5, 14);

struct Task {
    TaskFolder folder;
    TaskSettings settings;
    RunReport report;

    Task() {
        QVERIFY(Catalogue::Create());
        count("3", 3);
    }
    void count(const QString& text, std::optional<double> value) {
        settings.countText = text;
        settings.countValue = value;
    }
    QString text(const QString& relative) const { return folder.path() + u'/' + relative; }
    std::string path(const QString& relative) const { return text(relative).toStdString(); }

    // A copy on disk (a folder with a file in it) and its row, daysAgo days before today.
    QString copy(const QString& relative, int daysAgo) {
        const QString target = text(relative);
        QDir().mkpath(target);
        Put(target.toStdString() + "/content", "data");
        record(target, daysAgo);
        return target;
    }
    void record(const QString& target, int daysAgo) {
        Catalogue catalogue;
        catalogue.RecordBackup(target, kToday.addDays(-daysAgo));
    }
    void prune(Catalogue* shared = nullptr) {
        Catalogue own;
        RunControl control;
        report = {};
        PruneBackups(settings, shared ? *shared : own, control, report);
    }
};

}  // namespace

void RetentionTest::mayDeleteOnDisk_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("deletable");
    QTest::newRow("folder copy") << "/bk/reports_260514" << true;
    QTest::newRow("file copy") << "/bk/ledger.xls_260514" << true;
    QTest::newRow("doubled separator") << "/bk//reports_260514" << true;
    QTest::newRow("name is only the day") << "/bk/_260514" << true;
    QTest::newRow("in the root folder") << "/reports_260514" << true;
    QTest::newRow("chinese name") << "/备份/报表_260514" << true;
    QTest::newRow("root") << "/" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("relative") << "bk/reports_260514" << false;
    QTest::newRow("dot relative") << "./reports_260514" << false;
    QTest::newRow("parent step") << "/bk/../reports_260514" << false;
    QTest::newRow("parent step at the end") << "/bk/reports_260514/.." << false;
    QTest::newRow("trailing separator") << "/bk/reports_260514/" << false;
    QTest::newRow("no day") << "/bk/reports" << false;
    QTest::newRow("five digits") << "/bk/reports_26051" << false;
    QTest::newRow("seven digits") << "/bk/reports_2605140" << false;
    QTest::newRow("no underscore") << "/bk/reports260514" << false;
    QTest::newRow("day inside the name") << "/bk/reports_260514.old" << false;
    QTest::newRow("a home folder") << "/home" << false;
}

void RetentionTest::mayDeleteOnDisk() {
    QFETCH(QString, path);
    QFETCH(bool, deletable);
    QCOMPARE(MayDeleteOnDisk(path), deletable);
}

void RetentionTest::keepsTheNewestThree() {
    Task task;
    QStringList copies;
    for (int daysAgo = 4; daysAgo >= 0; --daysAgo) {
        copies << task.copy(QString("bk/reports_%1").arg(260514 - daysAgo), daysAgo);
    }
    task.prune();
    QCOMPARE(CataloguePaths(), copies.mid(2));
    QCOMPARE(QDir(task.text("bk")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             (QStringList{"reports_260512", "reports_260513", "reports_260514"}));
    QCOMPARE(task.report.pruned, copies.mid(0, 2));
    QVERIFY(task.report.pruningRan && !task.report.failure);
}

void RetentionTest::tiesAtTheNthPlaceBothStay() {
    Task task;
    task.copy("bk/reports_260510", 4);
    task.copy("bk/reports_260511", 3);
    const QString a = task.copy("bk/reports_260512", 2);
    const QString b = task.copy("other/reports_260512", 2);
    const QString c = task.copy("bk/reports_260514", 0);
    task.count("2", 2);
    task.prune();
    QCOMPARE(CataloguePaths(), (QStringList{a, b, c}));
    QVERIFY(!Exists(task.path("bk/reports_260510")));
    QVERIFY(!Exists(task.path("bk/reports_260511")));
    QVERIFY(Exists(a.toStdString()) && Exists(b.toStdString()) && Exists(c.toStdString()));
}

void RetentionTest::rowsOfEarlierSettingsArePrunedToo() {
    Task task;
    task.copy("old-bk/ledger.xls_260501", 13);
    task.copy("bk/reports_260510", 4);
    const QString kept1 = task.copy("old-bk/ledger.xls_260512", 2);
    const QString kept2 = task.copy("bk/reports_260513", 1);
    const QString kept3 = task.copy("bk/reports_260514", 0);
    task.prune();
    QCOMPARE(CataloguePaths(), (QStringList{kept1, kept2, kept3}));
    QVERIFY(!Exists(task.path("old-bk/ledger.xls_260501")));
    QVERIFY(!Exists(task.path("bk/reports_260510")));
}

void RetentionTest::hostileRowsTouchNoDisk() {
    Task task;
    // A home folder that even looks like a copy.
    QVERIFY(Folder(task.path("home")));
    QVERIFY(Folder(task.path("home/user_260101")));
    QVERIFY(Put(task.path("home/user_260101/thesis"), "years of work"));
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", task.text("home/user_260101").toUtf8());
    QVERIFY(Folder(task.path("bk")));
    QVERIFY(Folder(task.path("bk/reports_260101")));
    QVERIFY(Put(task.path("bk/reports_260101/file"), "kept"));
    QVERIFY(Folder(task.path("bk/undated")));
    const QStringList hostile{"/",
                              task.text("home/user_260101"),
                              task.text("home"),
                              task.text("bk/../bk/reports_260101"),
                              "bk/reports_260101",
                              task.text("bk/undated"),
                              task.text("bk/reports_260101/"),
                              task.text("")};
    for (const QString& path : hostile) {
        task.record(path, 30);
    }
    const QStringList before = Describe(task.path(""), false);
    const QStringList kept{task.copy("bk/a_260512", 2), task.copy("bk/a_260513", 1),
                           task.copy("bk/a_260514", 0)};
    task.prune();
    qputenv("HOME", home);
    QCOMPARE(CataloguePaths(), kept);
    for (const QString& path : kept) {
        QVERIFY(QDir(path).removeRecursively());
    }
    QCOMPARE(Describe(task.path(""), false).filter(QRegularExpression("^\\./(bk|home)")),
             before.filter(QRegularExpression("^\\./(bk|home)")));
}

void RetentionTest::goneOrLinkedCopies() {
    Task task;
    QVERIFY(Folder(task.path("precious")));
    QVERIFY(Put(task.path("precious/data"), "keep me"));
    QVERIFY(Folder(task.path("bk")));
    QVERIFY(::symlink(task.path("precious").c_str(), task.path("bk/link_260501").c_str()) == 0);
    task.record(task.text("bk/link_260501"), 13);
    task.record(task.text("bk/removed-by-hand_260502"), 12);
    task.copy("bk/a_260512", 2);
    task.copy("bk/a_260513", 1);
    task.copy("bk/a_260514", 0);
    task.prune();
    QCOMPARE(CataloguePaths().size(), 3);
    QVERIFY(!Exists(task.path("bk/link_260501")));
    QCOMPARE(Content(task.path("precious/data")), QByteArray("keep me"));
    QVERIFY(task.report.pruned.contains(task.text("bk/link_260501")) && !task.report.failure);
}

void RetentionTest::theSourceIsNeverPruned_data() {
    QTest::addColumn<QString>("source");  // relative to the task folder
    QTest::newRow("an old copy backed up again") << "bk/photos_260101";
    QTest::newRow("inside an old copy") << "bk/photos_260101/2025";
}

void RetentionTest::theSourceIsNeverPruned() {
    QFETCH(QString, source);
    Task task;
    const QString old = task.copy("bk/photos_260101", 30);
    QVERIFY(QDir().mkpath(task.text(source)));
    task.settings.source = task.text(source);
    task.copy("bk/a_260512", 2);
    task.copy("bk/a_260513", 1);
    task.copy("bk/a_260514", 0);
    task.prune();
    QCOMPARE(CataloguePaths().size(), 3);
    QCOMPARE(Content((old + "/content").toStdString()), QByteArray("data"));
}

void RetentionTest::leftoverOfACutShortPruningGoes() {
    Task task;
    const QString old = task.copy("bk/reports_260101", 30);
    QVERIFY(Folder(task.path("bk/.reports_260101.pruning")));
    QVERIFY(Put(task.path("bk/.reports_260101.pruning/half"), "x"));
    task.copy("bk/a_260512", 2);
    task.copy("bk/a_260513", 1);
    task.copy("bk/a_260514", 0);
    task.prune();
    QVERIFY(!Exists(old.toStdString()));
    QVERIFY(!Exists(task.path("bk/.reports_260101.pruning")));
    QCOMPARE(CataloguePaths().size(), 3);
}

void RetentionTest::count_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<std::optional<double>>("value");
    QTest::addColumn<QString>("outcome");  // of four copies, N = 2 when pruned
    using Value = std::optional<double>;
    QTest::newRow("empty") << "" << Value() << "nothing";
    QTest::newRow("zero") << "0" << Value(0) << "nothing";
    QTest::newRow("a half") << "0.5" << Value(0.5) << "nothing";
    QTest::newRow("negative") << "-3" << Value(-3) << "nothing";
    QTest::newRow("fraction") << "2.5" << Value(2.5) << "refused";
    QTest::newRow("statement") << "2) or (1=1" << Value(2) << "refused";
    QTest::newRow("exponent") << "2e0" << Value(2) << "refused";
    QTest::newRow("blanks around") << " 2 " << Value(2) << "pruned";
    QTest::newRow("leading zero") << "02" << Value(2) << "pruned";
}

// Nothing happens below 1; a count that is not a whole number is refused before anything goes.
void RetentionTest::count() {
    QFETCH(QString, text);
    QFETCH(std::optional<double>, value);
    QFETCH(QString, outcome);
    Task task;
    for (int daysAgo = 3; daysAgo >= 0; --daysAgo) {
        task.copy(QString("bk/a_%1").arg(260514 - daysAgo), daysAgo);
    }
    task.count(text, value);
    task.prune();
    const QString refusal = "The backup count \"" + text + "\" is not a whole number of at least 1";
    QCOMPARE(task.report.failure.value_or(""), outcome == "refused" ? refusal : QString());
    QCOMPARE(task.report.pruningRan, outcome != "nothing");
    const int kept = outcome == "pruned" ? 2 : 4;
    QCOMPARE(CatalogueRows().size(), kept);
    QCOMPARE(QDir(task.text("bk")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), kept);
}

void RetentionTest::rowsWithoutADay_data() {
    QTest::addColumn<QStringList>("days");  // shijian of each row, in id order
    QTest::addColumn<QStringList>("kept");  // with N = 2
    const QStringList newest{"2026-05-13", "2026-05-14"};
    QTest::newRow("NULL at the N-th place")
        << QStringList{"2026-05-14", "NULL", "NULL"} << QStringList{"2026-05-14", "NULL", "NULL"};
    QTest::newRow("NULL beyond the newest N")
        << QStringList{"NULL", "2026-05-12"} + newest << QStringList{"NULL"} + newest;
    QTest::newRow("text above every day")
        << QStringList{"later", "2026-05-12"} + newest << QStringList{"later"} + newest;
    QTest::newRow("impossible day")
        << QStringList{"2026-02-30", "2026-05-12"} + newest << QStringList{"2026-02-30"} + newest;
}

// What cannot be dated is kept, copy and row, and never counts among the newest N.
void RetentionTest::rowsWithoutADay() {
    QFETCH(QStringList, days);
    QFETCH(QStringList, kept);
    Task task;
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", QTest::currentDataTag());
    db.setDatabaseName("wenjianming.mdb");
    QVERIFY(db.open());
    for (const QString& day : days) {
        const QString copy = task.text("bk/a_2605" + QString::number(10 + CatalogueRows().size()));
        QVERIFY(QDir().mkpath(copy));
        const QString value = day == "NULL" ? day : u'\'' + day + u'\'';
        QVERIFY(QSqlQuery(db).exec("insert into wenjianming (wenjianming, shijian) values ('" +
                                   copy + "', " + value + ")"));
    }
    task.count("2", 2);
    task.prune();
    QStringList left;
    for (const QString& row : CatalogueRows()) {
        left << (row.endsWith(u'|') ? "NULL" : row.section(u'|', -1));
        QVERIFY2(QDir(row.section(u'|', 1, -2)).exists(), qPrintable(row));
    }
    QCOMPARE(left, kept);
}

// Another process reading the catalogue holds the commit off past the wait: nothing of the
// pruning is kept, the error is told, and the next pruning is not hindered by it.
void RetentionTest::failedCommitIsRolledBack() {
    Task task;
    for (int daysAgo = 3; daysAgo >= 0; --daysAgo) {
        task.copy(QString("bk/a_%1").arg(260514 - daysAgo), daysAgo);
    }
    Catalogue catalogue;
    catalogue.RetentionRows(3);  // opens the connection, so its wait can be cut short
    for (const QString& name : QSqlDatabase::connectionNames()) {
        QSqlQuery(QSqlDatabase::database(name)).exec("PRAGMA busy_timeout = 50");
    }
    QSqlDatabase reader = QSqlDatabase::addDatabase("QSQLITE", "reader");
    reader.setDatabaseName("wenjianming.mdb");
    QVERIFY(reader.open());
    QSqlQuery read(reader);
    QVERIFY(read.exec("BEGIN") && read.exec("select count(*) from wenjianming") && read.next());
    task.prune(&catalogue);
    QVERIFY(task.report.failure && task.report.failedStep == RunReport::Step::Pruning);
    read.exec("COMMIT");
    QCOMPARE(CatalogueRows().size(), 4);
    task.prune(&catalogue);
    QVERIFY(!task.report.failure);
    QCOMPARE(CatalogueRows().size(), 3);
}

QTEST_GUILESS_MAIN(RetentionTest)
#include "tst_Retention.moc"

void RetentionTest::verify_data() {
    QTest::addColumn<QByteArray>("change");
    QTest::addColumn<QStringList>("lines");  // %1: the copy
    const auto summary = [](int whole, int wrong, int unchecked, int none) {
        return QStringLiteral(
                   "校验完毕：%1 份备份完好，%2 份有问题，%3 份未检查，%4 份无校验清单。")
            .arg(whole)
            .arg(wrong)
            .arg(unchecked)
            .arg(none);
    };
    QTest::newRow("whole, odd names") << QByteArray() << QStringList{summary(1, 0, 0, 0)};
    QTest::newRow("flipped, deleted, added")
        << QByteArray("flip a; delete sub/b; add sub/new\xFE")
        << QStringList{"已损坏：%1/a", "缺失：%1/sub/b", "未列入校验清单：%1/sub/new\\xFE",
                       summary(0, 1, 0, 0)};
    QTest::newRow("odd names damaged")
        << QByteArray("flip line\nbreak; delete back\\slash; flip bad\xFF")
        << QStringList{"已损坏：%1/bad\\xFF", "已损坏：%1/line\\x0Abreak", "缺失：%1/back\\slash",
                       summary(0, 1, 0, 0)};
    QTest::newRow("a link where a file was")
        << QByteArray("link a") << QStringList{"已损坏：%1/a", summary(0, 1, 0, 0)};
    QTest::newRow("lines that leave the copy")
        << QByteArray("bad lines")
        << QStringList{"校验清单有误：%1.sha256（第 6 行）", "校验清单有误：%1.sha256（第 7 行）",
                       "校验清单有误：%1.sha256（第 8 行）", summary(0, 1, 0, 0)};
    QTest::newRow("no manifest") << QByteArray("no manifest") << QStringList{summary(0, 0, 0, 1)};
    QTest::newRow("copy gone") << QByteArray("gone")
                               << QStringList{"备份不存在：%1", summary(0, 1, 0, 0)};
    QTest::newRow("drive absent") << QByteArray("drive")
                                  << QStringList{"未检查（磁盘未连接）：%1", summary(0, 0, 1, 0)};
}

// A copy checked against the manifest sha256sum wrote for it: what --verify says, and the
// copy left as it was.
void RetentionTest::verify() {
    QFETCH(QByteArray, change);
    QFETCH(QStringList, lines);
    Task task;
    const QString copy = task.text("dest/c_260514");
    const std::string root = copy.toStdString();
    const RemovedOnExit cleanup{task.path("dest")};
    QVERIFY(Folder(task.path("dest")) && Folder(root) && Folder(root + "/sub"));
    for (const char* name : {"a", "sub/b", "line\nbreak", "back\\slash", "bad\xFF"}) {
        QVERIFY(Put(root + '/' + name, QByteArray("contents of ") + name));
    }
    QProcess sha256sum;
    sha256sum.setWorkingDirectory(task.text("dest"));
    sha256sum.start("sh", {"-c",
                           "find c_260514 -type f -print0 | LC_ALL=C sort -z | "
                           "xargs -0 sha256sum > c_260514.sha256"});
    QVERIFY(sha256sum.waitForFinished() && sha256sum.exitCode() == 0);
    QByteArray manifest = Content(root + ".sha256");
    QCOMPARE(manifest.count('\n'), 5);
    for (QByteArray step : change.split(';')) {
        step = step.trimmed();
        const std::string path = root + '/' + step.mid(step.indexOf(' ') + 1).toStdString();
        if (step.isEmpty()) {
            continue;
        } else if (step.contains("flip")) {
            QByteArray bytes = Content(path);
            bytes[3] = static_cast<char>(bytes[3] ^ 1);
            QVERIFY(::unlink(path.c_str()) == 0 && Put(path, bytes));
        } else if (step.contains("delete")) {
            QVERIFY(::unlink(path.c_str()) == 0);
        } else if (step.contains("add")) {
            QVERIFY(Put(path, "new"));
        } else if (step == "link a") {  // to the very same contents, outside
            QVERIFY(Put(task.path("outside"), Content(root + "/a")));
            QVERIFY(::unlink(path.c_str()) == 0 &&
                    ::symlink(task.path("outside").c_str(), path.c_str()) == 0);
        } else if (step == "bad lines") {
            const QByteArray digest = manifest.left(64);
            manifest +=
                "not a line\n" + digest + "  c_260514/../c_260514/a\n" + digest + "  /etc/passwd\n";
            QVERIFY(Put(root + ".sha256", manifest));
        } else if (step == "no manifest") {
            QVERIFY(::unlink((root + ".sha256").c_str()) == 0);
        } else {  // the copy gone, its drive there or not
            std::filesystem::remove_all(root);
            QVERIFY(Folder(task.path("usb")));
        }
    }
    const QStringList before = Describe(task.path("dest"));
    Catalogue catalogue;
    catalogue.RecordBackup(
        copy, kToday,
        change == "drive" ? std::optional(Catalogue::Drive{task.text("usb"), task.text("usb"), "1"})
                          : std::nullopt);
    RunControl control;
    const VerifyReport report = VerifyCopies(catalogue, control);
    QCOMPARE(VerifyLines(report), lines.replaceInStrings("%1", copy));
    QCOMPARE(report.allWhole(), lines.size() == 1 && change != "drive");
    QCOMPARE(Describe(task.path("dest")), before);
}
