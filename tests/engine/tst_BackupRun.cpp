#include "CatalogueRows.h"
#include "MockClock.h"
#include "TaskFolder.h"
#include "TreeTools.h"
#include "engine/BackupRun.h"
#include "engine/Catalogue.h"
#include "engine/HiddenNames.h"
#include "engine/Runs.h"
#include "log/LogFile.h"
#include "platform/TreeCopy.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <sys/mount.h>

using namespace TreeTools;

class BackupRunTest : public QObject {
    Q_OBJECT
private slots:
    void sourceName_data();
    void sourceName();
    void leftOutLine_data();
    void leftOutLine();
    void targetPath_data();
    void targetPath();
    void emptyField_data();
    void emptyField();
    void twoRunsOnOneDay();
    void leftovers_data();
    void leftovers();
    void copySetAsideComesBackWhenTheRunFails();
    void failedCopyLeavesNoTrace();
    void fullDiskLeavesNoTrace();
    void refusedBeforeAnythingIsWritten_data();
    void refusedBeforeAnythingIsWritten();
    void plannedBackupPrunesByTheCount_data();
    void plannedBackupPrunesByTheCount();
};

namespace {

const QDateTime kMorning(QDate(2026, 5, 14), QTime(10, 0));

// A task folder with its catalogue and log folder, as start-up leaves it.
struct Task {
    TaskFolder folder;
    MockClock clock{kMorning};
    TaskSettings settings;
    RunControl control;
    RunReport report;

    Task() {
        QVERIFY(Catalogue::Create());
        QVERIFY(QDir().mkdir("Log"));
    }
    QString text(const QString& relative) const { return folder.path() + u'/' + relative; }
    std::string path(const QString& relative) const { return text(relative).toStdString(); }

    void paths(const QString& source, const QString& destination) {
        settings.source = text(source);
        settings.destination = text(destination);
    }
    void run() {
        Catalogue catalogue;
        report = {};
        RunBackup(settings, catalogue, control, report);
    }
    QString runFailure() {
        run();
        return report.failure.value_or(QString());
    }
};

// The lines of the log; empty when the log engine writes none.
QStringList LogLines() {
    if (!QFileInfo::exists("Log/FileBackupLog.log")) {
        return {};
    }
    QStringList lines = ReadLog().split(QStringLiteral("\r\n"));
    lines.removeAll(QString());
    return lines;
}

void BuildReports(const std::string& root, const QByteArray& content) {
    QVERIFY(Folder(root));
    QVERIFY(Folder(root + "/2026"));
    QVERIFY(Put(root + "/2026/may.txt", content));
    QVERIFY(Put(root + "/summary.txt", "summary"));
    QVERIFY(Put(root + "/2026/odd\\name\n\xff", "a name sha256sum escapes"));
}

bool ManifestMatches(const QString& folder, const QString& manifest) {
    QProcess check;
    check.setWorkingDirectory(folder);
    check.start("sha256sum", {"-c", "--strict", "--quiet", manifest});
    return check.waitForFinished() && check.exitCode() == 0;
}

// What the folder holds. Each copy's manifest is checked by sha256sum itself and left out
// of the list; a manifest without its copy, or that does not match it, stays in.
QStringList Entries(const QString& folder) {
    QStringList entries = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                 QDir::NoDotAndDotDot);
    for (const QString& name : QStringList(entries)) {
        if (name.endsWith(".sha256") && !name.startsWith('.') &&
            entries.contains(name.chopped(7)) && ManifestMatches(folder, name)) {
            entries.removeOne(name);
        }
    }
    return entries;
}

}  // namespace

void BackupRunTest::sourceName_data() {
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("name");
    QTest::newRow("folder") << "/work/reports"
                            << "/reports";
    QTest::newRow("file") << "/data/ledger.xls"
                          << "/ledger.xls";
    QTest::newRow("no separator") << "reports"
                                  << "reports";
    QTest::newRow("ends in separator") << "/work/reports/"
                                       << "/";
    QTest::newRow("blanks kept") << " /work/my reports "
                                 << "/my reports ";
    QTest::newRow("chinese") << "/数据/报表"
                             << "/报表";
}

void BackupRunTest::sourceName() {
    QFETCH(QString, source);
    QFETCH(QString, name);
    QCOMPARE(SourceName(source), name);
}

void BackupRunTest::leftOutLine_data() {
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("line");
    QTest::newRow("text") << QByteArray("报表/a:b")
                          << "    未复制：报表/a:b（目的地址不支持此文件名）";
    QTest::newRow("not UTF-8") << QByteArray("caf\xe9/\xff\xfe")
                               << "    未复制：caf\\xE9/\\xFF\\xFE（目的地址不支持此文件名）";
    QTest::newRow("cut, overlong, surrogate")
        << QByteArray("\xe6\x8a/\xc0\xaf/\xed\xa0\x80")
        << "    未复制：\\xE6\\x8A/\\xC0\\xAF/\\xED\\xA0\\x80（目的地址不支持此文件名）";
    QTest::newRow("line break") << QByteArray("two\nlines\r")
                                << "    未复制：two\\x0Alines\\x0D（目的地址不支持此文件名）";
}

void BackupRunTest::leftOutLine() {
    QFETCH(QByteArray, path);
    QFETCH(QString, line);
    QCOMPARE(LeftOutLine({path.toStdString(), LeftOutReason::Name}), line);
}

void BackupRunTest::targetPath_data() {
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("sourceName");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("onDisk");
    // Relative to the task folder; the run is given them as absolute paths, except a source
    // without any separator, which names a folder of the current folder.
    QTest::newRow("folder source") << "work/reports"
                                   << "bk"
                                   << "/reports"
                                   << "bk/reports_260514"
                                   << "bk/reports_260514";
    QTest::newRow("file source") << "work/ledger.xls"
                                 << "bk"
                                 << "/ledger.xls"
                                 << "bk/ledger.xls_260514"
                                 << "bk/ledger.xls_260514";
    QTest::newRow("destination ending in /") << "work/reports"
                                             << "bk/"
                                             << "/reports"
                                             << "bk//reports_260514"
                                             << "bk/reports_260514";
    QTest::newRow("source ending in /") << "work/reports/"
                                        << "bk"
                                        << "/"
                                        << "bk/_260514"
                                        << "bk/_260514";
    QTest::newRow("source without separator") << "reports"
                                              << "bk/"
                                              << "reports"
                                              << "bk/reports_260514"
                                              << "bk/reports_260514";
    QTest::newRow("missing destination folders") << "work/reports"
                                                 << "new/deep/bk"
                                                 << "/reports"
                                                 << "new/deep/bk/reports_260514"
                                                 << "new/deep/bk/reports_260514";
}

void BackupRunTest::targetPath() {
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(QString, sourceName);
    QFETCH(QString, target);
    QFETCH(QString, onDisk);
    Task task;
    QVERIFY(Folder(task.path("work")));
    BuildReports(task.path("work/reports"), "may");
    QVERIFY(Put(task.path("work/ledger.xls"), "ledger", 0640));
    BuildReports(task.path("reports"), "in the current folder");
    task.settings.source = source.contains(u'/') ? task.text(source) : source;
    task.settings.destination = task.text(destination);
    QStringList stages;  // the copying stage comes before the copy is there
    task.control.onStage = [&](RunStage stage, const QString& name) {
        stages << (stage == RunStage::Copying ? "copying " : "other ") + name +
                      (Exists(task.path(onDisk)) ? " copied" : " not yet");
    };
    task.run();
    const QString fullTarget = task.text(target);
    QCOMPARE(stages, QStringList{"copying " + sourceName + " not yet"});
    QCOMPARE(task.report.sourceName, sourceName);
    QCOMPARE(task.report.target, fullTarget);
    QVERIFY(task.report.logged && task.report.catalogued && !task.report.failure);
    QCOMPARE(CatalogueRows(), QStringList{"1|" + fullTarget + "|2026-05-14"});
    QCOMPARE(Describe(task.path(onDisk)), Describe(task.path(source)));
    const QStringList log = LogLines();
    QCOMPARE(log.size(), 1);
    QVERIFY2(log[0].endsWith("   " + task.settings.source + "   成功备份至   " + fullTarget),
             qPrintable(log[0]));
}

void BackupRunTest::emptyField_data() {
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("message");
    QTest::newRow("no source") << ""
                               << ""
                               << "请输入要备份的文件地址！";
    QTest::newRow("no source, destination set") << ""
                                                << "/bk"
                                                << "请输入要备份的文件地址！";
    QTest::newRow("no destination") << "/work"
                                    << ""
                                    << "请输入备份文件的目的地址！";
}

void BackupRunTest::emptyField() {
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(QString, message);
    Task task;
    task.settings.source = source;
    task.settings.destination = destination;
    task.run();
    QCOMPARE(task.report.refusal, message);
    QVERIFY(!task.report.failure && !task.report.copyStarted && task.report.target.isEmpty());
    QCOMPARE(Entries(task.text("")), (QStringList{"Log", "wenjianming.mdb"}));
    QVERIFY(Entries(task.text("Log")).isEmpty());
    QVERIFY(CatalogueRows().isEmpty());
}

void BackupRunTest::twoRunsOnOneDay() {
    Task task;
    BuildReports(task.path("reports"), "first run");
    task.paths("reports", "bk");
    task.run();
    QVERIFY(Put(task.path("reports/2026/may.txt"), "second run"));
    QVERIFY(::unlink(task.path("reports/summary.txt").c_str()) == 0);
    // The rerun starts before midnight and ends after it: its row keeps the day of its name.
    task.clock.set(QDateTime(QDate(2026, 5, 14), QTime(23, 59, 55)));
    task.control.onStage = [&](RunStage, const QString&) { task.clock.advance(10 * 1000); };
    task.run();
    const QString target = task.text("bk/reports_260514");
    QCOMPARE(CatalogueRows(), QStringList{"2|" + target + "|2026-05-14"});
    QCOMPARE(Describe(target.toStdString()), Describe(task.path("reports")));
    QCOMPARE(Entries(task.text("bk")), QStringList{"reports_260514"});
    const QStringList log = LogLines();
    QCOMPARE(log.size(), 2);
    QVERIFY2(log[0].endsWith("成功备份至   " + target) && log[1].endsWith("成功备份至   " + target),
             qPrintable(log.join(u'\n')));
    QVERIFY(log[1].startsWith("260515 "));
}

void BackupRunTest::leftovers_data() {
    QTest::addColumn<QStringList>("before");  // folders in the destination, each marked
    QTest::addColumn<QStringList>("after");   // besides the new copy: "name=its mark"
    QTest::newRow("cut short today")
        << QStringList{".reports_260514.partial", "reports_260514", ".reports_260514.replaced"}
        << QStringList{};
    QTest::newRow("made or pruned on earlier days")
        << QStringList{".reports_260101.partial", ".reports_251231.pruning",
                       ".reports_260102.{task}.partial", ".reports_260103.{task}.replaced",
                       ".reports_260104.{task}.sha256"}
        << QStringList{"reports_260103=.reports_260103.{task}.replaced"};
    QTest::newRow("set aside, its copy missing: back")
        << QStringList{".reports_260510.replaced"}
        << QStringList{"reports_260510=.reports_260510.replaced"};
    QTest::newRow("set aside, its copy there: goes")
        << QStringList{".reports_260510.replaced", "reports_260510"}
        << QStringList{"reports_260510=reports_260510"};
    const QStringList others = {
        ".other_260510.partial",   ".reports_26051.partial",   ".reports_2605100.pruning",
        ".reports_2605a0.partial", ".reports_260510.partial~", "reports_260510.partial",
        ".reports_260510.old",     "..reports_260510.partial", ".reports_260510.0another.partial",
        ".reports_260510.sha256"};
    QStringList kept;
    for (const QString& name : others) {
        kept << name + u'=' + name;
    }
    QTest::newRow("not ours: untouched") << others << kept;
}

void BackupRunTest::leftovers() {
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    Task task;
    before.replaceInStrings("{task}", QString::fromStdString(HiddenNames::TaskMark()));
    after.replaceInStrings("{task}", QString::fromStdString(HiddenNames::TaskMark()));
    BuildReports(task.path("reports"), "may");
    QVERIFY(Folder(task.path("bk")));
    for (const QString& name : before) {
        QVERIFY(Folder(task.path("bk/" + name)));
        QVERIFY(Put(task.path("bk/" + name + "/mark"), name.toUtf8()));
    }
    task.paths("reports", "bk");
    task.run();
    QStringList expected{"reports_260514"};
    for (const QString& entry : after) {
        expected << entry.section(u'=', 0, 0);
        QCOMPARE(Content(task.path("bk/" + entry.section(u'=', 0, 0) + "/mark")),
                 entry.section(u'=', 1).toUtf8());
    }
    QStringList actual = Entries(task.text("bk"));
    actual.sort();
    expected.sort();
    QCOMPARE(actual, expected);
    QCOMPARE(Describe(task.path("bk/reports_260514")), Describe(task.path("reports")));
}

// The earlier copy had been moved aside when the previous run stopped; this run fails too,
// and the earlier copy is back in its place.
void BackupRunTest::copySetAsideComesBackWhenTheRunFails() {
    Task task;
    BuildReports(task.path("reports"), "new");
    QVERIFY(Folder(task.path("bk")));
    QVERIFY(Folder(task.path("bk/.reports_260514.replaced")));
    QVERIFY(Put(task.path("bk/.reports_260514.replaced/old"), "earlier copy"));
    task.paths("reports", "bk");
    SetCopyFaultInjector([](const std::filesystem::path&) { return ENOSPC; });
    const QString failure = task.runFailure();
    SetCopyFaultInjector({});
    QVERIFY(!failure.isEmpty());
    QCOMPARE(Entries(task.text("bk")), QStringList{"reports_260514"});
    QCOMPARE(Content(task.path("bk/reports_260514/old")), QByteArray("earlier copy"));
}

void BackupRunTest::failedCopyLeavesNoTrace() {
    Task task;
    BuildReports(task.path("reports"), "good copy");
    task.paths("reports", "bk");
    task.run();
    const QStringList earlier = Describe(task.path("bk/reports_260514"));
    const QStringList logBefore = LogLines();

    QVERIFY(Put(task.path("reports/2026/may.txt"), "newer"));
    SetCopyFaultInjector([](const std::filesystem::path& file) {
        return file.filename() == "summary.txt" ? EIO : 0;
    });
    const QString failure = task.runFailure();
    SetCopyFaultInjector({});
    QCOMPARE(failure,
             "Cannot copy \"" + task.text("reports/summary.txt") + "\": Input/output error");
    QVERIFY(task.report.failedStep == RunReport::Step::Copy && !task.report.placed);
    QCOMPARE(Describe(task.path("bk/reports_260514")), earlier);
    QCOMPARE(Entries(task.text("bk")), QStringList{"reports_260514"});
    QCOMPARE(CatalogueRows().size(), 1);
    QCOMPARE(LogLines(), logBefore);
}

// A real file system too small for the copy, where one can be mounted: refused before
// anything is written there. The leftover of an interrupted run takes no room from the next.
void BackupRunTest::fullDiskLeavesNoTrace() {
    Task task;
    QVERIFY(Folder(task.path("small")));
    if (::mount("tmpfs", task.path("small").c_str(), "tmpfs", 0, "size=1m") != 0) {
        QSKIP("cannot mount a small file system here");
    }
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{task.path("small")};
    QVERIFY(Folder(task.path("reports")));
    for (int i = 0; i < 6; ++i) {
        QVERIFY(Put(task.path("reports/part") + std::to_string(i), QByteArray(300 * 1024, 'x')));
    }
    task.paths("reports", "small/bk");
    QCOMPARE(task.runFailure(), QString());
    QCOMPARE(task.report.refusal, "目的地址空间不足：需要 1.8 MiB，可用 1.0 MiB，本次未备份！");
    QVERIFY(Entries(task.text("small")).isEmpty());
    QVERIFY(CatalogueRows().isEmpty());
    QVERIFY(LogLines().isEmpty());
    QVERIFY(!task.report.copyStarted);
    QVERIFY(Folder(task.path("small/bk")) && Folder(task.path("small/bk/.reports_260101.partial")));
    QVERIFY(Put(task.path("small/bk/.reports_260101.partial/part"), QByteArray(850 * 1024, 'x')));
    QVERIFY(QDir(task.text("reports")).removeRecursively() && Folder(task.path("reports")));
    QVERIFY(Put(task.path("reports/part"), QByteArray(250 * 1024, 'x')));
    task.report = {};
    task.run();
    QVERIFY2(task.report.catalogued, qPrintable(task.report.refusal));
    QCOMPARE(Entries(task.text("small/bk")), QStringList{"reports_260514"});
}

void BackupRunTest::refusedBeforeAnythingIsWritten_data() {
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QByteArray>("catalogue");  // in place of the one made (null); "-": none
    QTest::addColumn<QString>("message");
    const QString inside = "The destination folder \"%2\" lies inside the source \"%1\"";
    const QString missing = "The source \"%1\" does not exist";
    const QByteArray made;
    QTest::newRow("destination is the source") << "reports"
                                               << "reports" << made << inside;
    QTest::newRow("destination inside") << "reports"
                                        << "reports/bk" << made << inside;
    QTest::newRow("destination inside, not there yet") << "reports"
                                                       << "reports/new/bk" << made << inside;
    QTest::newRow("through a link") << "reports"
                                    << "link-to-reports/bk" << made << inside;
    QTest::newRow("source ending in /") << "reports/"
                                        << "reports" << made << inside;
    QTest::newRow("missing source") << "gone"
                                    << "bk" << made << missing;
    QTest::newRow("dangling link") << "dangling"
                                   << "bk" << made << missing;
    QTest::newRow("no catalogue") << "reports"
                                  << "bk" << QByteArray("-") << "unable to open database file";
    QTest::newRow("catalogue not a database")
        << "reports"
        << "bk" << QByteArray(4096, 'x') << "file is not a database";
    QTest::newRow("catalogue without its table")
        << "reports"
        << "bk" << QByteArray("") << "no such table: wenjianming";
}

void BackupRunTest::refusedBeforeAnythingIsWritten() {
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(QByteArray, catalogue);
    QFETCH(QString, message);
    Task task;
    QFile file("wenjianming.mdb");
    QVERIFY(catalogue.isNull() || file.remove());
    QVERIFY(catalogue.isNull() || catalogue == "-" ||
            (file.open(QIODevice::WriteOnly) && file.write(catalogue) == catalogue.size()));
    file.close();
    BuildReports(task.path("reports"), "may");
    QVERIFY(::symlink("reports", task.path("link-to-reports").c_str()) == 0);
    QVERIFY(::symlink("nowhere", task.path("dangling").c_str()) == 0);
    const QStringList before = Describe(task.path(""), false);
    task.paths(source, destination);
    QCOMPARE(task.runFailure(),
             message.replace("%1", task.settings.source).replace("%2", task.settings.destination));
    QCOMPARE(Describe(task.path(""), false), before);
    QVERIFY(LogLines().isEmpty() && !task.report.copyStarted);
    QVERIFY(task.report.failedStep == RunReport::Step::Copy);
}

void BackupRunTest::plannedBackupPrunesByTheCount_data() {
    QTest::addColumn<QString>("count");  // its text; its value is 1 throughout
    QTest::addColumn<QString>("source");
    QTest::addColumn<QStringList>("copies");  // in bk and catalogued after the run
    const QStringList both{"reports_260513", "reports_260514"};
    QTest::newRow("a count") << "1"
                             << "reports" << both.mid(1);
    QTest::newRow("a count among blanks") << " 1 "
                                          << "reports" << both.mid(1);
    QTest::newRow("only blanks") << "   "
                                 << "reports" << both;
    QTest::newRow("the backup fails") << "1"
                                      << "gone" << both.mid(0, 1);
}

void BackupRunTest::plannedBackupPrunesByTheCount() {
    QFETCH(QString, count);
    QFETCH(QString, source);
    QFETCH(QStringList, copies);
    Task task;
    BuildReports(task.path("reports"), "may");
    QVERIFY(QDir().mkpath(task.text("bk/reports_260513")));
    Catalogue().RecordBackup(task.text("bk/reports_260513"), kMorning.date().addDays(-1));
    task.paths(source, "bk");
    task.settings.countText = count;
    task.settings.countValue = 1;
    PlannedBackup(task.settings, task.control);
    QCOMPARE(Entries(task.text("bk")), copies);
    QCOMPARE(CataloguePaths().size(), copies.size());
}

QTEST_GUILESS_MAIN(BackupRunTest)
#include "tst_BackupRun.moc"
