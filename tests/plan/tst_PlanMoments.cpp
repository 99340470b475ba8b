#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTest>

#include "PlanHarness.h"

using Moments = QList<QDateTime>;

namespace {

Moments RunsOf(const PlanHarness& harness) {
    return Moments(harness.runs.begin(), harness.runs.end());
}

// True when `time` lies in second 50 of the minute before hour:minute.
bool InSecondFiftyBefore(const QDateTime& time, int hour, int minute) {
    const QDateTime target = At(time.date(), hour, minute, 0).addSecs(-10);
    return time >= target && time < target.addSecs(1);
}

// Second 50 of the minute before the picker's, on each of the days.
std::vector<QDateTime> MomentsOn(std::initializer_list<QDate> days, const QTime& picker) {
    std::vector<QDateTime> moments;
    for (const QDate& day : days) {
        moments.push_back(At(day, picker.hour(), picker.minute(), 0).addSecs(-10));
    }
    return moments;
}

}  // namespace

class PlanMomentsTest : public QObject {
    Q_OBJECT
private slots:
    void currentDayName_data();
    void currentDayName();

    void firingTableAroundHalfPastEight();
    void dayOfTicksFiresOnce_data();
    void dayOfTicksFiresOnce();
    void jitteredDayFiresOnFirstTickAfterTheMoment_data();
    void jitteredDayFiresOnFirstTickAfterTheMoment();
    void weekFiresOnTickedDaysOnly();
    void firesAt_data();
    void firesAt();

    void asleepAcrossTheMoment_data();
    void asleepAcrossTheMoment();

    void lateTick_data();
    void lateTick();
    void firstTick_data();
    void firstTick();
    void restartedPlan_data();
    void restartedPlan();
    void restartAfterARunDoesNotFireAgain();
    void clockSetBackAcrossTheMomentFiresAgain_data();
    void clockSetBackAcrossTheMomentFiresAgain();
    void clockSteppedBackWithinTheFiredSecondDoesNotFireAgain();
    void endOfDaylightSavingFiresTwice();
};

void PlanMomentsTest::currentDayName_data() {
    QTest::addColumn<QDateTime>("clock");
    QTest::addColumn<QString>("name");
    QTest::newRow("Monday") << At(WeekDay(0), 0, 0, 0) << "星期一";
    QTest::newRow("Tuesday") << At(WeekDay(1), 12, 0, 0) << "星期二";
    QTest::newRow("Wednesday") << At(WeekDay(2), 23, 59, 59, 999) << "星期三";
    QTest::newRow("Thursday") << At(WeekDay(3), 8, 30, 0) << "星期四";
    QTest::newRow("Friday") << At(WeekDay(4), 1, 2, 3) << "星期五";
    QTest::newRow("Saturday") << At(WeekDay(5), 18, 0, 0) << "星期六";
    QTest::newRow("Sunday") << At(WeekDay(6), 23, 59, 50) << "星期日";
}

void PlanMomentsTest::currentDayName() {
    QFETCH(QDateTime, clock);
    QFETCH(QString, name);
    MockClock mock(clock);
    QCOMPARE(CurrentDayName(), name);
    QCOMPARE(CurrentDayName().toUtf8().size(), 9);  // three CJK characters, no blank
}

void PlanMomentsTest::firingTableAroundHalfPastEight() {
    PlanHarness h(At(WeekDay(0), 8, 0, 0));
    h.tickDays({0});

    h.tickAt(At(WeekDay(0), 8, 29, 49, 620));
    QVERIFY(h.runs.empty());
    QVERIFY(h.fields.AllPlanButtons(true));

    h.tickAt(At(WeekDay(0), 8, 29, 50, 635));
    QCOMPARE(RunsOf(h), Moments{At(WeekDay(0), 8, 29, 50, 635)});
    QVERIFY(h.fields.AllPlanButtons(true));

    h.tickAt(At(WeekDay(0), 8, 31, 12, 4));
    QCOMPARE(h.runs.size(), size_t(1));
}

void PlanMomentsTest::dayOfTicksFiresOnce_data() {
    QTest::addColumn<QTime>("picker");
    QTest::addColumn<int>("phaseMsecs");    // where in each second the ticks fall
    QTest::addColumn<bool>("everySecond");  // else every second only near the moments
    QTest::newRow("8:30, .000, all day") << QTime(8, 30) << 0 << true;
    QTest::newRow("8:30, .999, all day") << QTime(8, 30) << 999 << true;
    QTest::newRow("8:30, .635") << QTime(8, 30) << 635 << false;
    QTest::newRow("picker seconds ignored") << QTime(8, 30, 45) << 250 << false;
    QTest::newRow("0:01") << QTime(0, 1) << 500 << false;
    QTest::newRow("12:00") << QTime(12, 0) << 500 << false;
    QTest::newRow("23:59") << QTime(23, 59) << 500 << false;
}

void PlanMomentsTest::dayOfTicksFiresOnce() {
    QFETCH(QTime, picker);
    QFETCH(int, phaseMsecs);
    QFETCH(bool, everySecond);
    const QDate day = WeekDay(2);
    PlanHarness h(At(day, 0, 0, 0));
    h.fields.recordButtonWrites = false;
    h.tickDays({2});
    h.fields.Picker = picker;

    const QDateTime from = At(day, 0, 0, 0, phaseMsecs);
    const QDateTime to = At(day, 23, 59, 59, 999);
    if (everySecond) {
        h.sweep(from, to);
    } else {
        h.sweepNear(from, to, MomentsOn({day.addDays(-1), day, day.addDays(1)}, picker));
    }

    QCOMPARE(h.runs.size(), size_t(1));
    QVERIFY2(InSecondFiftyBefore(h.runs.front(), picker.hour(), picker.minute()),
             qPrintable(h.runs.front().toString(Qt::ISODateWithMs)));
    QCOMPARE(h.runs.front().time().msec(), phaseMsecs);
}

void PlanMomentsTest::jitteredDayFiresOnFirstTickAfterTheMoment_data() {
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("jitterMsecs");
    QTest::newRow("±100 ms") << 7u << 100;
    QTest::newRow("±400 ms") << 11u << 400;
    QTest::newRow("up to 3.9 s late") << 13u << 2900;
}

// Ticks that drift and bunch, as a busy thread makes them: the moment is still caught once,
// by the first tick at or after it.
void PlanMomentsTest::jitteredDayFiresOnFirstTickAfterTheMoment() {
    QFETCH(quint32, seed);
    QFETCH(int, jitterMsecs);
    QRandomGenerator random(seed);
    const QDate day = WeekDay(3);
    PlanHarness h(At(day, 0, 0, 0));
    h.fields.recordButtonWrites = false;
    h.tickDays({3});
    const QDateTime moment = At(day, 8, 29, 50);

    QDateTime firstTickAfter;
    for (QDateTime now = At(day, 6, 0, 0, 123); now < At(day, 11, 0, 0);) {
        h.tickAt(now);
        if (!firstTickAfter.isValid() && now >= moment) {
            firstTickAfter = now;
        }
        now = now.addMSecs(1000 + random.bounded(-jitterMsecs / 3, jitterMsecs + 1));
    }
    QCOMPARE(RunsOf(h), Moments{firstTickAfter});
}

void PlanMomentsTest::weekFiresOnTickedDaysOnly() {
    PlanHarness h(At(WeekDay(0), 0, 0, 0));
    h.fields.recordButtonWrites = false;
    h.tickDays({0, 2, 6});

    QElapsedTimer elapsed;
    elapsed.start();
    h.sweep(At(WeekDay(0), 0, 0, 0, 437), At(WeekDay(6), 23, 59, 59, 999));
    qInfo("604800 ticks in %lld ms", elapsed.elapsed());

    const Moments expected{At(WeekDay(0), 8, 29, 50, 437), At(WeekDay(2), 8, 29, 50, 437),
                           At(WeekDay(6), 8, 29, 50, 437)};
    QCOMPARE(RunsOf(h), expected);
}

void PlanMomentsTest::firesAt_data() {
    QTest::addColumn<QList<int>>("ticked");
    QTest::addColumn<QTime>("picker");
    QTest::addColumn<Moments>("expected");

    // Every row ticks from Sunday 0:00 to Tuesday 0:01, once a second near the moments;
    // Monday and Tuesday are those of the week after the test week.
    const QDate sunday = WeekDay(6);
    const QDate monday = WeekDay(7);
    QTest::newRow("0:00, Monday: Monday 23:59:50")
        << QList<int>{0} << QTime(0, 0) << Moments{At(monday, 23, 59, 50, 250)};
    QTest::newRow("0:00, Sunday: Sunday 23:59:50")
        << QList<int>{6} << QTime(0, 0) << Moments{At(sunday, 23, 59, 50, 250)};
    QTest::newRow("0:00, Sunday and Monday")
        << QList<int>{6, 0} << QTime(0, 0)
        << Moments{At(sunday, 23, 59, 50, 250), At(monday, 23, 59, 50, 250)};
    QTest::newRow("0:00, Tuesday: never in these two days")
        << QList<int>{1} << QTime(0, 0) << Moments{};
    QTest::newRow("10:00, Sunday: 9:59:50")
        << QList<int>{6} << QTime(10, 0) << Moments{At(sunday, 9, 59, 50, 250)};
    QTest::newRow("0:01, Monday: Monday 0:00:50")
        << QList<int>{0} << QTime(0, 1) << Moments{At(monday, 0, 0, 50, 250)};
    QTest::newRow("23:59, Sunday: 23:58:50")
        << QList<int>{6} << QTime(23, 59) << Moments{At(sunday, 23, 58, 50, 250)};
    QTest::newRow("nothing ticked") << QList<int>{} << QTime(10, 0) << Moments{};
}

void PlanMomentsTest::firesAt() {
    QFETCH(QList<int>, ticked);
    QFETCH(QTime, picker);
    QFETCH(Moments, expected);
    PlanHarness h(At(WeekDay(6), 0, 0, 0));
    for (int day : ticked) {
        h.fields.Days.at(day) = true;
    }
    h.fields.Picker = picker;
    h.fields.recordButtonWrites = false;

    h.sweepNear(At(WeekDay(6), 0, 0, 0, 250), At(WeekDay(8), 0, 1, 0),
                MomentsOn({WeekDay(5), WeekDay(6), WeekDay(7), WeekDay(8), WeekDay(9)}, picker));
    QCOMPARE(RunsOf(h), expected);
}

void PlanMomentsTest::asleepAcrossTheMoment_data() {
    QTest::addColumn<QList<int>>("ticked");
    QTest::addColumn<QDateTime>("lastTick");  // the last tick before the gap, at 20:00's plan
    QTest::addColumn<qint64>("asleep");       // then the machine sleeps that long
    QTest::addColumn<qint64>("awake");        // then it is awake and busy that long
    QTest::addColumn<int>("runs");
    const QDateTime seven = At(WeekDay(0), 19, 0, 0, 500);
    const qint64 hour = 3600 * 1000;
    QTest::newRow("asleep across a ticked moment")
        << QList<int>{0} << seven << 2 * hour << 500LL << 1;
    QTest::newRow("three nights asleep: one run")
        << QList<int>{0, 1, 2, 3, 4, 5, 6} << seven << 72 * hour << 500LL << 1;
    QTest::newRow("woken on an unticked day") << QList<int>{0} << seven << 13 * hour << 500LL << 1;
    QTest::newRow("asleep across an unticked day's moment")
        << QList<int>{1} << seven << 13 * hour << 500LL << 0;
    QTest::newRow("busy across the moment, or the clock set forward")
        << QList<int>{0} << seven << 0LL << 2 * hour << 0;
    QTest::newRow("asleep, then busy across the moment")
        << QList<int>{0} << seven << hour / 2 << 3 * hour / 2 << 0;
    QTest::newRow("woken a minute before the moment, busy across it")
        << QList<int>{0} << seven << 59 * 60 * 1000LL << 70 * 1000LL << 0;
    QTest::newRow("asleep right after the run")
        << QList<int>{0} << At(WeekDay(0), 19, 59, 50, 500) << hour << 500LL << 1;
}

void PlanMomentsTest::asleepAcrossTheMoment() {
    QFETCH(QList<int>, ticked);
    QFETCH(QDateTime, lastTick);
    QFETCH(qint64, asleep);
    QFETCH(qint64, awake);
    QFETCH(int, runs);
    PlanHarness h(lastTick);
    h.fields.Picker = QTime(20, 0);
    for (int day : ticked) {
        h.fields.Days.at(day) = true;
    }
    h.tick();
    h.clock.sleep(asleep);
    h.clock.advance(awake);
    const QDateTime woken = Clock::currentDateTime();
    h.tick();
    h.clock.advance(1000);
    h.tick();
    QCOMPARE(int(h.runs.size()), runs);
    if (runs == 1 && h.runs[0] != lastTick) {
        QCOMPARE(h.runs[0], woken);  // on the day of the wake-up
        QVERIFY(h.fields.AllPlanButtons(true));
    }
}

void PlanMomentsTest::lateTick_data() {
    QTest::addColumn<QTime>("before");
    QTest::addColumn<QTime>("late");
    QTest::addColumn<bool>("fires");
    QTest::newRow(":49.9 to :51.2") << QTime(8, 29, 49, 900) << QTime(8, 29, 51, 200) << true;
    QTest::newRow(":49.999 to :50.000") << QTime(8, 29, 49, 999) << QTime(8, 29, 50) << true;
    QTest::newRow(":45 to :55.000, 5 s late") << QTime(8, 29, 45) << QTime(8, 29, 55) << true;
    QTest::newRow(":45 to :55.001, too late") << QTime(8, 29, 45) << QTime(8, 29, 55, 1) << false;
    QTest::newRow("a backup of ten minutes, 2 s late")
        << QTime(8, 19, 40) << QTime(8, 29, 52) << true;
    QTest::newRow("a backup of ten minutes, a minute late")
        << QTime(8, 20, 40) << QTime(8, 30, 50) << false;
    QTest::newRow("previous tick at the moment itself")
        << QTime(8, 29, 50) << QTime(8, 29, 51) << false;
}

void PlanMomentsTest::lateTick() {
    QFETCH(QTime, before);
    QFETCH(QTime, late);
    QFETCH(bool, fires);
    const QDate day = WeekDay(4);
    PlanHarness h(At(day, 8, 0, 0));
    h.tickDays({4});
    h.tickAt(QDateTime(day, before, QTimeZone::utc()));
    const size_t runsBefore = h.runs.size();

    h.tickAt(QDateTime(day, late, QTimeZone::utc()));
    QCOMPARE(h.runs.size() - runsBefore, size_t(fires ? 1 : 0));

    // The seconds after it never fire the same moment again.
    const size_t runsAfterLate = h.runs.size();
    h.sweep(QDateTime(day, late, QTimeZone::utc()).addSecs(1), At(day, 8, 35, 0));
    QCOMPARE(h.runs.size(), runsAfterLate);
}

void PlanMomentsTest::firstTick_data() {
    QTest::addColumn<QTime>("first");
    QTest::addColumn<bool>("fires");
    QTest::newRow("just before the second") << QTime(8, 29, 49, 999) << false;
    QTest::newRow("start of the second") << QTime(8, 29, 50) << true;
    QTest::newRow("end of the second") << QTime(8, 29, 50, 999) << true;
    QTest::newRow("just after the second") << QTime(8, 29, 51) << false;
}

// Without a previous tick there is no telling a late tick from a plan started late, so
// only a tick within the scheduled second fires.
void PlanMomentsTest::firstTick() {
    QFETCH(QTime, first);
    QFETCH(bool, fires);
    const QDate day = WeekDay(5);
    PlanHarness h(At(day, 8, 0, 0));
    h.tickDays({5});
    h.tickAt(QDateTime(day, first, QTimeZone::utc()));
    QCOMPARE(h.runs.size(), size_t(fires ? 1 : 0));
}

void PlanMomentsTest::restartedPlan_data() {
    QTest::addColumn<QTime>("started");
    QTest::addColumn<QTime>("firstTick");
    QTest::addColumn<bool>("fires");
    QTest::newRow("started before the moment")
        << QTime(8, 29, 49, 400) << QTime(8, 29, 50, 400) << true;
    QTest::newRow("started before, first tick late")
        << QTime(8, 29, 49, 500) << QTime(8, 29, 51) << true;
    QTest::newRow("started a second after it") << QTime(8, 29, 51) << QTime(8, 29, 52) << false;
    QTest::newRow("started within the second")
        << QTime(8, 29, 50, 100) << QTime(8, 29, 51, 100) << false;
}

// Stopped at 8:00 and started again near the moment: only a start before the moment fires,
// however late the first tick after the start is.
void PlanMomentsTest::restartedPlan() {
    QFETCH(QTime, started);
    QFETCH(QTime, firstTick);
    QFETCH(bool, fires);
    const QDate day = WeekDay(5);
    PlanHarness h(At(day, 8, 0, 0));
    h.tickDays({5});
    h.tickAt(At(day, 8, 0, 0));
    h.clock.set(QDateTime(day, started, QTimeZone::utc()));
    h.plan.Start();
    h.tickAt(QDateTime(day, firstTick, QTimeZone::utc()));
    QCOMPARE(h.runs.size(), size_t(fires ? 1 : 0));
}

void PlanMomentsTest::restartAfterARunDoesNotFireAgain() {
    const QDate day = WeekDay(5);
    PlanHarness h(At(day, 8, 0, 0));
    h.tickDays({5});
    h.tickAt(At(day, 8, 29, 49, 200));
    h.tickAt(At(day, 8, 29, 50, 200));
    h.clock.set(At(day, 8, 29, 50, 300));
    h.plan.Start();
    h.sweep(At(day, 8, 29, 51, 300), At(day, 8, 31, 0));
    QCOMPARE(h.runs.size(), size_t(1));
}

void PlanMomentsTest::clockSetBackAcrossTheMomentFiresAgain_data() {
    QTest::addColumn<QTime>("setBackFrom");
    QTest::addColumn<QTime>("setBackTo");
    QTest::newRow("a minute back") << QTime(8, 30, 20, 300) << QTime(8, 29, 20, 300);
    QTest::newRow("an hour back") << QTime(9, 15, 0, 300) << QTime(8, 15, 0, 300);
    QTest::newRow("to a second before") << QTime(8, 29, 52, 300) << QTime(8, 29, 49, 300);
}

void PlanMomentsTest::clockSetBackAcrossTheMomentFiresAgain() {
    QFETCH(QTime, setBackFrom);
    QFETCH(QTime, setBackTo);
    const QDate day = WeekDay(0);
    PlanHarness h(At(day, 8, 0, 0));
    h.tickDays({0});

    h.sweep(At(day, 8, 29, 0, 300), QDateTime(day, setBackFrom, QTimeZone::utc()));
    QCOMPARE(h.runs.size(), size_t(1));
    h.sweep(QDateTime(day, setBackTo, QTimeZone::utc()), At(day, 9, 30, 0));
    QCOMPARE(RunsOf(h), (Moments{At(day, 8, 29, 50, 300), At(day, 8, 29, 50, 300)}));
}

void PlanMomentsTest::clockSteppedBackWithinTheFiredSecondDoesNotFireAgain() {
    const QDate day = WeekDay(0);
    PlanHarness h(At(day, 8, 0, 0));
    h.tickDays({0});
    h.tickAt(At(day, 8, 29, 49, 200));
    h.tickAt(At(day, 8, 29, 50, 200));
    h.tickAt(At(day, 8, 29, 50, 100));  // a time service corrects the clock by 0.1 s
    h.sweep(At(day, 8, 29, 51, 100), At(day, 8, 31, 0));
    QCOMPARE(h.runs.size(), size_t(1));
}

// On the last Sunday of October Berlin's clocks go from 3:00 back to 2:00: the plan for 2:30
// fires at 2:29:50 summer time and again at 2:29:50 winter time.
void PlanMomentsTest::endOfDaylightSavingFiresTwice() {
    const QTimeZone berlin("Europe/Berlin");
    if (!berlin.isValid()) {
        QSKIP("no time zone data for Europe/Berlin");
    }
    const QDateTime start(QDate(2024, 10, 27), QTime(1, 59, 0, 500), berlin);
    PlanHarness h(start);
    h.tickDays({6});
    h.fields.Picker = QTime(2, 30);

    for (int tick = 0; tick < 3 * 3600; ++tick) {
        h.tickAt(start.addSecs(tick));
    }
    QCOMPARE(h.runs.size(), size_t(2));
    for (const QDateTime& run : h.runs) {
        QCOMPARE(run.time(), QTime(2, 29, 50, 500));
    }
    QCOMPARE(h.runs[1].toSecsSinceEpoch() - h.runs[0].toSecsSinceEpoch(), 3600);
}

QTEST_GUILESS_MAIN(PlanMomentsTest)
#include "tst_PlanMoments.moc"
