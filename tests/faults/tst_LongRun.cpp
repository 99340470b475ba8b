// A simulated fortnight of plan ticks with the real backup run and pruning on a small real
// tree: exactly the expected runs, at the expected moments, and a flat resident set.
#include "FakeFields.h"
#include "MockClock.h"
#include "TaskFolder.h"
#include "TestFiles.h"
#include "engine/Catalogue.h"
#include "engine/Runs.h"
#include "log/LogFile.h"
#include "plan/PlanTimer.h"
#include "plan/PlannedRun.h"

#include <QDir>
#include <QTest>
#include <QTimeZone>

#include <unistd.h>
#include <cstdio>

namespace {

// Resident pages of this process, from /proc/self/statm.
long ResidentKiB() {
    long size = 0;
    long resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "re")) {
        if (std::fscanf(statm, "%ld %ld", &size, &resident) != 2) {
            resident = 0;
        }
        std::fclose(statm);
    }
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// 2025-03-10 is a Monday.
const QDate kMonday(2025, 3, 10);

}  // namespace

class LongRun : public QObject {
    Q_OBJECT

private slots:
    void fortnightOfTicks() {
        TaskFolder task;
        QDir here;
        QVERIFY(here.mkpath(QStringLiteral("Log")));
        QVERIFY(here.mkpath(QStringLiteral("src/reports/inner")));
        QVERIFY(WriteBytes(QStringLiteral("src/reports/a.txt"), "first\n"));
        QVERIFY(WriteBytes(QStringLiteral("src/reports/inner/b.txt"), QByteArray(5000, 'b')));
        QVERIFY(Catalogue::Create());

        MockClock clock(QDateTime(kMonday, QTime(0, 0), QTimeZone::utc()));
        FakeFields fields;
        fields.Edit1 = task.file(QStringLiteral("src/reports"));
        fields.Edit2 = task.file(QStringLiteral("dest"));
        fields.Days = {true, false, true, false, false, true, false};  // Mon, Wed, Sat
        fields.Picker = QTime(8, 30);
        fields.SetCount(QStringLiteral("2"), 2);
        PlanSchedule plan;
        plan.Start();
        std::vector<QDateTime> runs;
        size_t boxes = 0;  // shown by the window after the runs

        // Ticks about a second apart, never exactly: 997, 1004, 999, 1000 ms in turn.
        const qint64 steps[] = {997, 1004, 999, 1000};
        auto tickFor = [&](int days) {
            const QDateTime end = Clock::currentDateTime().addDays(days);
            for (qint64 i = 0; Clock::currentDateTime() < end; ++i) {
                if (plan.Tick(fields)) {
                    runs.push_back(Clock::currentDateTime());
                    RunControl control;
                    const RunOutcome outcome =
                        OutcomeOf(PlannedBackup(TaskSettingsOf(fields), control));
                    boxes += outcome.boxes.size();
                    plan.RunEnded(fields, outcome.failed);
                }
                clock.advance(steps[i % 4]);
            }
        };

        tickFor(7);  // the first week warms up every cache and pool
        const long residentAfterWeek1 = ResidentKiB();
        tickFor(7);
        const long residentAfterWeek2 = ResidentKiB();

        const int offsets[] = {0, 2, 5, 7, 9, 12};
        QCOMPARE(runs.size(), std::size(offsets));
        for (size_t i = 0; i < runs.size(); ++i) {
            QCOMPARE(runs[i].date(), kMonday.addDays(offsets[i]));
            const QTime at = runs[i].time();
            QVERIFY2(at >= QTime(8, 29, 50) && at < QTime(8, 29, 51),
                     qPrintable(runs[i].toString(Qt::ISODateWithMs)));
        }
        QCOMPARE(boxes, size_t(0));
        QCOMPARE(
            QDir(task.file(QStringLiteral("dest"))).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
            QStringList({QStringLiteral("reports_250319"), QStringLiteral("reports_250322")}));
        QCOMPARE(Catalogue().RetentionRows(1).size(), size_t(1));
        QCOMPARE(ReadLogBytes().count("\r\n"), 6);
        qInfo("resident set: %ld KiB after week 1, %ld KiB after week 2", residentAfterWeek1,
              residentAfterWeek2);
        QVERIFY2(
            residentAfterWeek2 - residentAfterWeek1 < 1024,
            qPrintable(
                QStringLiteral("grew by %1 KiB").arg(residentAfterWeek2 - residentAfterWeek1)));
    }
};

QTEST_GUILESS_MAIN(LongRun)
#include "tst_LongRun.moc"
