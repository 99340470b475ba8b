#include <QTest>

#include "PlanHarness.h"
#include "engine/BackupRun.h"
#include "plan/PlannedRun.h"

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

    void buttonsDisabledWhileTheRunExecutes();
    void tickWithoutRunOnlyEnablesTheButtons();
    void failedRunKeepsTheButtonsDisabled();
    void outcome_data();
    void outcome();
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

void PlanTickTest::buttonsDisabledWhileTheRunExecutes() {
    MondayPlan h;
    ButtonWrites seenInRun;
    h.insideRun = [&] { seenInRun = h.fields.buttonWrites; };
    h.tickTheMoment();

    QCOMPARE(seenInRun, kDisableAll);
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

void PlanTickTest::failedRunKeepsTheButtonsDisabled() {
    MondayPlan h;
    h.runsFail = true;
    h.tickTheMoment();
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

void PlanTickTest::outcome_data() {
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<bool>("catalogued");
    QTest::addColumn<int>("leftOut");
    QTest::addColumn<QString>("failure");  // empty: none
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<QStringList>("boxes");  // "i " or "e " and the text
    const QString notice = "i " + LeftOutNotice(2);
    QTest::newRow("refused") << "请输入要备份的文件地址！" << false << 0 << "" << false
                             << QStringList{"i 请输入要备份的文件地址！"};
    QTest::newRow("entries left out") << "" << true << 2 << "" << false << QStringList{notice};
    QTest::newRow("copy failed") << "" << false << 0 << "Cannot create file \"/backups\"." << false
                                 << QStringList{"e Cannot create file \"/backups\"."};
    QTest::newRow("left out, row not written") << "" << false << 2 << "database is locked" << false
                                               << QStringList{"e database is locked."};
    QTest::newRow("left out, pruning failed")
        << "" << true << 2 << "Cannot delete" << false << QStringList{notice, "e Cannot delete."};
    QTest::newRow("stopped") << "" << true << 2 << "" << true << QStringList{};
}

void PlanTickTest::outcome() {
    QFETCH(QString, refusal);
    QFETCH(bool, catalogued);
    QFETCH(int, leftOut);
    QFETCH(QString, failure);
    QFETCH(bool, stopped);
    QFETCH(QStringList, boxes);
    RunReport report;
    report.refusal = refusal;
    report.placed = report.logged = report.catalogued = catalogued;
    report.leftOut.assign(leftOut, {"a", LeftOutReason::Name});
    if (!failure.isEmpty()) {
        report.failure = failure;
    }
    report.stopped = stopped;
    const RunOutcome outcome = OutcomeOf(report);
    QStringList shown;
    for (const HeldBox& box : outcome.boxes) {
        shown << (box.kind == HeldBox::Kind::Information ? "i " : "e ") + box.text;
    }
    QCOMPARE(shown, boxes);
    QCOMPARE(outcome.failed, !failure.isEmpty());
}

QTEST_GUILESS_MAIN(PlanTickTest)
#include "tst_PlanTick.moc"
