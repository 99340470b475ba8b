#include "CatalogueRows.h"
#include "ScriptedPrompts.h"
#include "TaskFolder.h"
#include "TestFiles.h"
#include "app/MainUnit.h"
#include "log/LogFile.h"
#include "platform/Clock.h"
#include "platform/Gb18030.h"

#include <QProcess>
#include <QTest>

class CommandLineTest : public QObject {
    Q_OBJECT
private slots:
    void arguments_data();
    void arguments();
    void backupNowWithoutDisplay();
    void missingSourceWritesNothing();
    void waitsForTheWindowsRun();
};

namespace {

// The program started in the current folder, with no display of any kind.
std::unique_ptr<QProcess> Start(const QStringList& arguments) {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        environment.remove(name);
    }
    process->setProcessEnvironment(environment);
    process->start(TESSIVAR_BINARY, arguments);
    return process;
}

// Exit code, and what the program wrote on stdout and stderr.
std::pair<int, QString> Run(const QStringList& arguments) {
    const std::unique_ptr<QProcess> process = Start(arguments);
    process->waitForFinished(30000);
    return {process->exitCode(),
            QString::fromUtf8(process->readAllStandardOutput() + process->readAllStandardError())};
}

// A task backing up ./source (one file) into ./copies, keeping one copy.
void WriteTask() {
    QDir().mkpath("source/inner");
    QDir().mkpath("copies");
    WriteBytes("source/inner/file", "content");
    WriteBytes("config.ini",
               ToGb18030(QStringLiteral("[备份设置]\r\n备份文件源地址=%1/source\r\n"
                                        "备份文件目的地址=%1/copies\r\n备份个数=1\r\n")
                             .arg(QDir::currentPath())));
}

QString Target() {
    return QDir::currentPath() + "/copies/source_" + Clock::currentDate().toString("yyMMdd");
}

QStringList Entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

}  // namespace

void CommandLineTest::arguments_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("version") << QStringList{"--version"} << 0 << "tessivar " TESSIVAR_VERSION "\n";
    QTest::newRow("help") << QStringList{"-h"} << 0 << "Usage: tessivar [options]\n";
    QTest::newRow("unknown") << QStringList{"--now"} << 2 << "Unknown option 'now'.\n";
    QTest::newRow("no folder") << QStringList{"--task"} << 2 << "Missing value after '--task'.\n";
    QTest::newRow("two folders") << QStringList{"--task=.", "--task=."} << 2
                                 << "--task 只能给出一次";
    QTest::newRow("missing") << QStringList{"--task", "gone"} << 2 << "任务文件夹“gone”不存在！\n";
    QTest::newRow("a file") << QStringList{"--task", "plain", "--backup-now"} << 2
                            << "“plain”不是文件夹！\n";
    QTest::newRow("both") << QStringList{"--backup-now", "--start-plan"} << 2 << "--backup-now 与";
    QTest::newRow("stray word") << QStringList{"now"} << 2 << "不认识的参数“now”！\n";
    QTest::newRow("no settings") << QStringList{"--backup-now"} << 1
                                 << "请输入要备份的文件地址！\n";
}

void CommandLineTest::arguments() {
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, text);
    TaskFolder task;
    WriteBytes("plain", "");
    const auto [exitCode, written] = Run(arguments);
    QCOMPARE(exitCode, code);
    QVERIFY2(written.startsWith(text), qPrintable(written));
    if (code == 2) {  // refused arguments make nothing
        QCOMPARE(Entries("."), QStringList{"plain"});
    }
}

void CommandLineTest::backupNowWithoutDisplay() {
    TaskFolder task;
    WriteTask();
    QVERIFY(Catalogue::Create());
    QVERIFY(QDir().mkpath("copies/source_200101"));
    Catalogue().RecordBackup(task.file("copies/source_200101"), QDate(2020, 1, 1));
    QCOMPARE(Run({"--task", task.path(), "--backup-now"}), std::pair(0, QString()));
    QCOMPARE(ReadBytes(Target() + "/inner/file"), "content");
    QVERIFY(ReadLog().endsWith("成功备份至   " + Target() + "\r\n"));
    QCOMPARE(CataloguePaths(), QStringList{Target()});  // pruned to the newest one
    QVERIFY(!QFileInfo::exists("copies/source_200101"));
}

void CommandLineTest::missingSourceWritesNothing() {
    TaskFolder task;
    WriteTask();
    QDir("source").removeRecursively();
    QCOMPARE(Run({"--backup-now"}),
             std::pair(1, "The source \"" + task.path() + "/source\" does not exist.\n"));
    QCOMPARE(ReadBytes("Log/FileBackupLog.log"), "");
    QCOMPARE(CatalogueRows(), QStringList());
    QCOMPARE(Entries("copies"), QStringList());
}

namespace {

// The first reading of a window's run, under the task lock, starts a --backup-now of the
// task and gives it 1.5 s to finish.
class ClockStartingRival : public Clock {
public:
    ClockStartingRival() { Clock::setInstance(this); }
    ~ClockStartingRival() override { Clock::setInstance(nullptr); }
    mutable std::unique_ptr<QProcess> rival;
    mutable bool finishedDuringTheRun = true;

protected:
    QDateTime now() const override {
        if (!rival) {
            rival = Start({"--backup-now"});
            finishedDuringTheRun = rival->waitForFinished(1500);
        }
        return QDateTime::currentDateTime();
    }
};

}  // namespace

void CommandLineTest::waitsForTheWindowsRun() {
    TaskFolder task;
    ScriptedPrompts prompts;
    WriteTask();
    TMainForm form;
    form.FormShow();
    const ClockStartingRival clock;
    form.Button10Click();
    QVERIFY(clock.rival && !clock.finishedDuringTheRun);
    QCOMPARE(ReadLog().count("成功备份至"), 1);  // the window's; the rival is still waiting
    QVERIFY(clock.rival->waitForFinished(30000));
    QCOMPARE(clock.rival->exitCode(), 0);
    QCOMPARE(ReadLog().count("成功备份至"), 2);
    QCOMPARE(CataloguePaths(), QStringList{Target()});
}

QTEST_MAIN(CommandLineTest)
#include "tst_CommandLine.moc"
