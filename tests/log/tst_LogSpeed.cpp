// Figures for a large log: how long one append and one viewer opening take. They are
// printed, not asserted, so a busy machine cannot make the suite flaky.
#include "LogTestSupport.h"
#include "MockClock.h"
#include "ScriptedPrompts.h"
#include "TaskFolder.h"
#include "TestFiles.h"
#include "log/LogFile.h"
#include "log/LogShowUnit.h"
#include "platform/Gb18030.h"

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTest>

#include <algorithm>
#include <functional>

namespace {

constexpr int kLines = 100000;
constexpr int kRounds = 3;

QByteArray LargeLog() {
    const QByteArray line =
        ToGb18030(QStringLiteral("150514 9:30:05   /home/user/文档/工作报告   成功备份至   "
                                 "/mnt/backup/工作报告_150514\r\n"));
    QByteArray log;
    log.reserve(line.size() * kLines);
    for (int i = 0; i < kLines; ++i) {
        log += line;
    }
    return log;
}

// The fastest and the middle of several rounds, in milliseconds.
QString Figures(const std::function<void()>& prepare, const std::function<void()>& measured) {
    QList<double> times;
    for (int round = 0; round < kRounds; ++round) {
        prepare();
        QElapsedTimer timer;
        timer.start();
        measured();
        times << timer.nsecsElapsed() / 1e6;
    }
    std::sort(times.begin(), times.end());
    return QStringLiteral("fastest %1 ms, median %2 ms")
        .arg(times.front(), 0, 'f', 1)
        .arg(times[kRounds / 2], 0, 'f', 1);
}

}  // namespace

class LogSpeedTest : public QObject {
    Q_OBJECT
private slots:
    void appendToLargeLog();
    void openLargeLog();
};

void LogSpeedTest::appendToLargeLog() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    const QByteArray log = LargeLog();
    const ScopedTimeFormat regional(TwentyFourHourFormat());
    const MockClock clock(QDateTime(QDate(2015, 5, 14), QTime(9, 30, 5)));

    const QString figures =
        Figures([&] { QVERIFY(WriteBytes(WorkingFiles::kLog, log)); },
                [] { AppendLogLine(QStringLiteral("/a"), QStringLiteral("/b")); });

    qInfo().noquote() << QStringLiteral("append to %1 lines (%2 bytes): %3")
                             .arg(kLines)
                             .arg(log.size())
                             .arg(figures);
    QCOMPARE(QFileInfo(WorkingFiles::kLog).size(), log.size() + 39);
}

void LogSpeedTest::openLargeLog() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    const QByteArray log = LargeLog();
    QVERIFY(WriteBytes(WorkingFiles::kLog, log));
    ScriptedPrompts prompts;
    QWidget mainWindow;
    TLogShowForm* viewer = nullptr;

    const QString figures = Figures(
        [&] {
            delete viewer;
            viewer = nullptr;
        },
        [&] {
            EnsureLogFile();
            viewer = new TLogShowForm(&mainWindow);
            viewer->show();
            QCoreApplication::processEvents();
            viewer->repaint();
        });

    qInfo().noquote() << QStringLiteral("open a viewer on %1 lines (%2 bytes): %3")
                             .arg(kLines)
                             .arg(log.size())
                             .arg(figures);
    QCOMPARE(viewer->Memo1->document()->blockCount(), kLines + 1);
    QVERIFY(prompts.shown.empty());
}

QTEST_MAIN(LogSpeedTest)
#include "tst_LogSpeed.moc"
