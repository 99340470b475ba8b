#include "CatalogueRows.h"
#include "ScriptedPrompts.h"
#include "TaskFolder.h"
#include "TestFiles.h"
#include "app/MainUnit.h"
#include "engine/Catalogue.h"
#include "log/LogFile.h"
#include "platform/Clock.h"
#include "platform/Gb18030.h"

#include <QProcess>
#include <QTest>

#include <csignal>

class CommandLineTest : public QObject {
    Q_OBJECT
private slots:
    void arguments_data();
    void arguments();
    void backupNowWithoutDisplay();
    void exitCodes_data();
    void exitCodes();
    void windowWaitsForTheTaskLock();
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
    QTest::newRow("verify twice") << QStringList{"--verify", "--verify=x"} << 2
                                  << "--verify 只能给出一次！\n";
    QTest::newRow("verify and back up")
        << QStringList{"--verify=x", "--backup-now"} << 2 << "--verify 不能与 --backup-now";
    QTest::newRow("verify nothing")
        << QStringList{"--verify="} << 2 << "--verify= 需要一份备份的路径！\n";
    QTest::newRow("verify, no catalogue")
        << QStringList{"--verify"} << 2 << "任务文件夹中没有备份记录（wenjianming.mdb）！\n";
    QTest::newRow("verify a gone copy")
        << QStringList{"--verify=plain_260514"} << 1 << "备份不存在：/";
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

void CommandLineTest::exitCodes_data() {
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");  // %1: the task folder, %2: the target
    QTest::newRow("no source") << "no source" << 1 << "The source \"%1/source\" does not exist.\n";
    QTest::newRow("log fails") << "log" << 3 << "已生成备份“%2”，但写入操作日志失败：\nCannot";
    QTest::newRow("pruning fails")
        << "count" << 3 << "已生成备份“%2”，但清理旧备份失败：\nThe backup count";
    QTest::newRow("stopped waiting") << "stop" << 1 << "备份已中止，未生成新的备份！\n";
}

// What a run that is refused, fails or is stopped leaves on the disk, and its exit code.
void CommandLineTest::exitCodes() {
    QFETCH(QString, change);
    QFETCH(int, code);
    QFETCH(QString, text);
    TaskFolder task;
    WriteTask();
    QVERIFY(Catalogue::Create());
    std::unique_ptr<QProcess> holder;
    if (change == "no source") {
        QDir("source").removeRecursively();
    } else if (change == "log") {
        QVERIFY(QDir().mkpath("Log/FileBackupLog.log"));
    } else if (change == "count") {
        WriteBytes("config.ini", ReadBytes("config.ini").replace("=1\r\n", "=2.5\r\n"));
    } else {
        holder = std::make_unique<QProcess>();
        holder->start("flock", {".tessivar.lock", "sleep", "20"});
        QVERIFY(holder->waitForStarted());
        QTest::qWait(300);
    }
    std::pair<int, QString> result;
    if (holder) {  // Ctrl+C while it waits for the lock
        const std::unique_ptr<QProcess> waiting = Start({"--backup-now"});
        QTest::qWait(700);
        ::kill(static_cast<pid_t>(waiting->processId()), SIGINT);
        QVERIFY(waiting->waitForFinished(5000));
        result = {waiting->exitCode(), QString::fromUtf8(waiting->readAllStandardError())};
        holder->kill();
        holder->waitForFinished();
    } else {
        result = Run({"--backup-now"});
    }
    const auto [exitCode, written] = result;
    QCOMPARE(exitCode, code);
    text.replace("%1", task.path()).replace("%2", Target());
    QVERIFY2(written.startsWith(text), qPrintable(written));
    QCOMPARE(QFileInfo::exists(Target()), code == 3);
    QCOMPARE(CatalogueRows().size(), change == "count" ? 1 : 0);
}

// A window's run waits for another program's run of the task off the window's thread, and
// says so; it goes on once the other lets go.
void CommandLineTest::windowWaitsForTheTaskLock() {
    TaskFolder task;
    ScriptedPrompts prompts;
    WriteTask();
    TMainForm form;
    form.FormShow();
    QProcess holder;
    holder.start("flock", {".tessivar.lock", "sleep", "1.5"});
    QVERIFY(holder.waitForStarted());
    QTest::qWait(300);
    form.Button10Click();
    QTRY_COMPARE(form.PanelText(1), QString("等待本任务的另一个备份结束……"));
    form.Button10Click();  // a click during the run does nothing, then or later
    QTRY_COMPARE_WITH_TIMEOUT(form.PanelText(1), QString("文件备份完毕！"), 10000);
    QVERIFY(!form.RunInProgress());
    QTest::qWait(200);
    QCOMPARE(ReadLog().count("成功备份至"), 1);
    QCOMPARE(CataloguePaths(), QStringList{Target()});
}

QTEST_MAIN(CommandLineTest)
#include "tst_CommandLine.moc"
