#include <QTest>

#include "PlanHarness.h"
#include "platform/Error.h"

using ButtonWrites = std::vector<std::pair<PlanButton, bool>>;

namespace {

const QDate kMonday = WeekDay(0);
const QDate kTuesday = WeekDay(1);

const ButtonWrites kEnableAll{
    {PlanButton::Button8, true}, {PlanButton::Button9, true}, {PlanButton::Button10, true}};
const ButtonWrites kDisableAll{
    {PlanButton::Button8, false}, {PlanButton::Button9, false}, {PlanButton::Button10, false}};

ButtonWrites Then(ButtonWrites first, const ButtonWrites& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// A plan with Monday ticked whose clock is one tick before Monday's moment for 8:30.
struct MondayPlan : PlanHarness {
    MondayPlan() : PlanHarness(At(kMonday, 8, 29, 49, 500)) {
        tickDays({0});
        tick();
        fields.buttonWrites.clear();
    }
    void tickTheMoment() { tickAt(At(kMonday, 8, 29, 50, 500)); }
};

}  // namespace

class PlanTickTest : public QObject {
    Q_OBJECT
private slots:
    void dayList_data();
    void dayList();
    void emptySourceOrDestinationDoesNothing_data();
    void emptySourceOrDestinationDoesNothing();
    void otherDayRefreshesOnlyTheDayList();
    void momentPassedWithoutASourceDoesNotFireLate();

    void untickingTodayWithoutSavingStopsTheRun();
    void laterTimeWithoutSavingMovesTheRun();
    void countDecidesThePruning_data();
    void countDecidesThePruning();

    void buttonsDisabledWhileTheRunExecutes();
    void tickWithoutRunOnlyEnablesTheButtons();
    void failure_data();
    void failure();
};

void PlanTickTest::dayList_data() {
    QTest::addColumn<QList<int>>("ticked");
    QTest::addColumn<QString>("dayList");
    QTest::addColumn<QDate>("today");
    QTest::addColumn<bool>("fires");

    QTest::newRow("Tuesday alone keeps its blank")
        << QList<int>{1} << "星期二 ;" << kTuesday << true;
    QTest::newRow("Saturday alone keeps its blank")
        << QList<int>{5} << "星期六 ;" << WeekDay(5) << true;
    QTest::newRow("all days, Monday first")
        << QList<int>{6, 5, 4, 3, 2, 1, 0} << "星期一;星期二 ;星期三;星期四;星期五;星期六 ;星期日;"
        << WeekDay(3) << true;
    QTest::newRow("Monday and Sunday, on Tuesday")
        << QList<int>{0, 6} << "星期一;星期日;" << kTuesday << false;
    QTest::newRow("none") << QList<int>{} << "" << kMonday << false;
}

void PlanTickTest::dayList() {
    QFETCH(QList<int>, ticked);
    QFETCH(QString, dayList);
    QFETCH(QDate, today);
    QFETCH(bool, fires);
    PlanHarness h(At(today, 8, 29, 49, 800));
    for (int day : ticked) {
        h.fields.Days.at(day) = true;
    }
    h.fields.DayList = QStringLiteral("星期三;");  // as loaded from the file
    h.tick();
    h.tickAt(At(today, 8, 29, 50, 800));
    QCOMPARE(h.fields.DayList, dayList);
    QCOMPARE(h.runs.size(), size_t(fires ? 1 : 0));
}

void PlanTickTest::emptySourceOrDestinationDoesNothing_data() {
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");
    QTest::newRow("no source") << ""
                               << "/backups";
    QTest::newRow("no destination") << "/data/reports"
                                    << "";
    QTest::newRow("neither") << ""
                             << "";
}

void PlanTickTest::emptySourceOrDestinationDoesNothing() {
    QFETCH(QString, source);
    QFETCH(QString, destination);
    PlanHarness h(At(kMonday, 8, 0, 0));
    h.tickDays({0});
    h.fields.Edit1 = source;
    h.fields.Edit2 = destination;
    h.fields.DayList = QStringLiteral("星期五;");
    h.fields.Enabled[PlanButton::Button9] = false;

    h.sweep(At(kMonday, 8, 29, 0, 500), At(kMonday, 8, 31, 0));
    QVERIFY(h.runs.empty());
    QCOMPARE(h.prunes, 0);
    QCOMPARE(h.fields.DayList, QStringLiteral("星期五;"));
    QVERIFY(h.fields.buttonWrites.empty());
}

void PlanTickTest::otherDayRefreshesOnlyTheDayList() {
    PlanHarness h(At(kTuesday, 8, 0, 0));
    h.tickDays({0});
    h.fields.Enabled[PlanButton::Button10] = false;
    h.sweep(At(kTuesday, 8, 29, 0, 500), At(kTuesday, 8, 31, 0));
    QVERIFY(h.runs.empty());
    QCOMPARE(h.fields.DayList, QStringLiteral("星期一;"));
    QVERIFY(h.fields.buttonWrites.empty());
    QVERIFY(!h.fields.ButtonEnabled(PlanButton::Button10));
}

// Every tick counts as the previous one, also a tick that ended early: a source filled in
// just after the moment does not make the next tick a late one.
void PlanTickTest::momentPassedWithoutASourceDoesNotFireLate() {
    PlanHarness h(At(kMonday, 8, 0, 0));
    h.tickDays({0});
    h.tick();
    h.fields.Edit1.clear();
    h.sweep(At(kMonday, 8, 29, 45, 500), At(kMonday, 8, 29, 51, 500));
    h.fields.Edit1 = QStringLiteral("/data/reports");
    h.tickAt(At(kMonday, 8, 29, 52, 500));
    QVERIFY(h.runs.empty());
}

void PlanTickTest::untickingTodayWithoutSavingStopsTheRun() {
    MondayPlan h;
    h.fields.Days.at(0) = false;
    h.fields.Days.at(2) = true;
    h.tickTheMoment();
    QVERIFY(h.runs.empty());
    QCOMPARE(h.fields.DayList, QStringLiteral("星期三;"));
}

void PlanTickTest::laterTimeWithoutSavingMovesTheRun() {
    PlanHarness h(At(kMonday, 8, 0, 0));
    h.tickDays({0});
    h.sweep(At(kMonday, 8, 0, 0, 100), At(kMonday, 8, 20, 0));
    h.fields.Picker = QTime(9, 15);
    h.sweep(At(kMonday, 8, 20, 1, 100), At(kMonday, 10, 0, 0));
    QCOMPARE(h.runs, std::vector<QDateTime>{At(kMonday, 9, 14, 50, 100)});
}

void PlanTickTest::countDecidesThePruning_data() {
    QTest::addColumn<QString>("count");
    QTest::addColumn<int>("prunes");
    QTest::newRow("a count") << "3" << 1;
    QTest::newRow("a count among blanks") << " 5 " << 1;
    QTest::newRow("emptied") << "" << 0;
    QTest::newRow("only blanks") << "   " << 0;
}

void PlanTickTest::countDecidesThePruning() {
    QFETCH(QString, count);
    QFETCH(int, prunes);
    MondayPlan h;
    h.fields.Count = count;  // as typed after the plan was started
    h.tickTheMoment();
    QCOMPARE(h.runs.size(), size_t(1));
    QCOMPARE(h.prunes, prunes);
}

void PlanTickTest::buttonsDisabledWhileTheRunExecutes() {
    MondayPlan h;
    ButtonWrites seenInRun;
    ButtonWrites seenInPrune;
    h.insideRun = [&] { seenInRun = h.fields.buttonWrites; };
    h.insidePrune = [&] { seenInPrune = h.fields.buttonWrites; };
    h.tickTheMoment();

    QCOMPARE(seenInRun, kDisableAll);
    QCOMPARE(seenInPrune, kDisableAll);
    QCOMPARE(h.fields.buttonWrites, Then(kDisableAll, kEnableAll));
    QVERIFY(h.fields.AllPlanButtons(true));
}

void PlanTickTest::tickWithoutRunOnlyEnablesTheButtons() {
    MondayPlan h;
    h.fields.Enabled[PlanButton::Button8] = false;
    h.tickAt(At(kMonday, 12, 0, 0));
    QCOMPARE(h.fields.buttonWrites, kEnableAll);
    QVERIFY(h.runs.empty());
}

void PlanTickTest::failure_data() {
    QTest::addColumn<bool>("inRun");
    QTest::newRow("the run throws") << true;
    QTest::newRow("the pruning throws") << false;
}

void PlanTickTest::failure() {
    QFETCH(bool, inRun);
    MondayPlan h;
    const auto fail = [] { throw Error(QStringLiteral("Cannot create file \"/backups\".")); };
    (inRun ? h.insideRun : h.insidePrune) = fail;

    h.tickTheMoment();
    QVERIFY(h.outcome.failed);
    QCOMPARE(h.outcome.boxes.size(), size_t(1));
    QCOMPARE(h.outcome.boxes[0].text, QStringLiteral("Cannot create file \"/backups\"."));
    QCOMPARE(h.prunes, inRun ? 0 : 1);
    QVERIFY(h.fields.AllPlanButtons(false));

    // Still disabled after a tick on a day that is not ticked, enabled by the next ticked one,
    // and the failed moment is not tried again.
    h.fields.Days.at(0) = false;
    h.tickAt(At(kMonday, 8, 29, 51, 500));
    QVERIFY(h.fields.AllPlanButtons(false));
    h.fields.Days.at(0) = true;
    h.tickAt(At(kMonday, 8, 29, 52, 500));
    QVERIFY(h.fields.AllPlanButtons(true));
    QCOMPARE(h.runs.size(), size_t(1));
}

QTEST_GUILESS_MAIN(PlanTickTest)
#include "tst_PlanTick.moc"
