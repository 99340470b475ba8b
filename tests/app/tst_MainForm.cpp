#include "MockClock.h"
#include "ScriptedPrompts.h"
#include "TaskFolder.h"
#include "app/MainUnit.h"
#include "app/StatusBar.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>
#include <QTimer>
#include <memory>

class MainFormTest : public QObject {
    Q_OBJECT
private slots:
    void firstStartMakesWorkingFiles();
    void laterStartCreatesNothing();
    void catalogueBlockedIsSilent();
    void twoTaskFoldersStayApart();
    void controls_data();
    void controls();
    void helpLabels_data();
    void helpLabels();
    void windowShape();
    void tabOrder();
    void accessibleNames();
    void closeQuestion_data();
    void closeQuestion();
    void browse_data();
    void browse();
    void startAndStopPlan();
    void failedPlannedRunLeavesTheTimerTicking();
};

namespace {

QStringList TableColumns(const QString& file) {
    QStringList columns;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "probe");
        db.setDatabaseName(file);
        if (db.open()) {
            QSqlQuery query("PRAGMA table_info(wenjianming)", db);
            while (query.next()) {
                columns << query.value(1).toString();
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("probe");
    return columns;
}

QWidget* FindByText(QWidget* root, const QString& text) {
    for (auto* label : root->findChildren<QLabel*>()) {
        if (label->text() == text) {
            return label;
        }
    }
    for (auto* button : root->findChildren<QAbstractButton*>()) {
        if (button->text() == text) {
            return button;
        }
    }
    return nullptr;
}

}  // namespace

void MainFormTest::firstStartMakesWorkingFiles() {
    TaskFolder task;
    ScriptedPrompts prompts;
    TMainForm form;
    QVERIFY(QFileInfo(task.file("Log")).isDir());
    QVERIFY(QFileInfo(task.file("TempBackupFile")).isDir());
    QCOMPARE(TableColumns(task.file("wenjianming.mdb")),
             QStringList({"id", "wenjianming", "shijian"}));
    QCOMPARE(form.StatusBar1->PanelWidth(0), 381);
    QCOMPARE(form.StatusBar1->PanelWidth(1), 300);
    QVERIFY(!form.FileTimer2->isActive());
    QVERIFY(prompts.shown.empty());
    // No scratch files of the creation are left beside the catalogue.
    QCOMPARE(QDir(task.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList({"wenjianming.mdb"}));
}

void MainFormTest::laterStartCreatesNothing() {
    TaskFolder task;
    ScriptedPrompts prompts;
    { TMainForm first; }
    const QDateTime written = QFileInfo(task.file("wenjianming.mdb")).lastModified();
    const QByteArray bytes = [&] {
        QFile f(task.file("wenjianming.mdb"));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();
    TMainForm second;
    QCOMPARE(second.StatusBar1->PanelWidth(0), 200);
    QFile f(task.file("wenjianming.mdb"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), bytes);
    QCOMPARE(QFileInfo(task.file("wenjianming.mdb")).lastModified(), written);
}

void MainFormTest::catalogueBlockedIsSilent() {
    TaskFolder task;
    ScriptedPrompts prompts;
    // A folder of the catalogue's name neither counts as a catalogue nor lets one be made.
    QVERIFY(QDir(task.path()).mkdir("wenjianming.mdb"));
    TMainForm form;
    QVERIFY(prompts.shown.empty());
    QCOMPARE(form.StatusBar1->PanelWidth(0), 200);
    QVERIFY(QFileInfo(task.file("wenjianming.mdb")).isDir());
}

void MainFormTest::twoTaskFoldersStayApart() {
    ScriptedPrompts prompts;
    TaskFolder first;
    auto formA = std::make_unique<TMainForm>();
    QVERIFY(QFile::exists(first.file("wenjianming.mdb")));
    {
        TaskFolder second;
        QVERIFY(!QFile::exists(second.file("wenjianming.mdb")));
        TMainForm formB;
        QVERIFY(QFile::exists(second.file("wenjianming.mdb")));
        QVERIFY(QFileInfo(second.file("Log")).isDir());
    }
    QCOMPARE(QDir(first.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({"Log", "TempBackupFile", "wenjianming.mdb"}));
}

void MainFormTest::controls_data() {
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("geometry");  // inside GroupBox1 (or GroupBox2 for its children)
    QTest::addColumn<bool>("visible");

    QTest::newRow("Button4") << "..." << QRect(502, 85, 62, 25) << true;
    QTest::newRow("Button6") << "保存配置信息" << QRect(8, 376, 113, 33) << true;
    QTest::newRow("Button8") << "启动备份计划" << QRect(120, 376, 113, 33) << true;
    QTest::newRow("Button9") << "终止备份计划" << QRect(232, 376, 113, 33) << true;
    QTest::newRow("Button10") << "手动执行备份" << QRect(344, 376, 113, 33) << true;
    QTest::newRow("Button7") << "查看操作日志" << QRect(453, 376, 113, 33) << true;
    QTest::newRow("Button11") << "Button11" << QRect(480, 336, 75, 25) << false;
    QTest::newRow("GroupBox2") << "执行周期" << QRect(16, 168, 553, 153) << true;
    QTest::newRow("CheckBox1") << "星期一" << QRect(8, 24, 89, 17) << true;
    QTest::newRow("CheckBox2") << "星期二 " << QRect(144, 24, 97, 17) << true;
    QTest::newRow("CheckBox8") << "星期三" << QRect(288, 24, 105, 17) << true;
    QTest::newRow("CheckBox4") << "星期四" << QRect(424, 24, 121, 17) << true;
    QTest::newRow("CheckBox5") << "星期五" << QRect(8, 56, 89, 17) << true;
    QTest::newRow("CheckBox6") << "星期六 " << QRect(144, 56, 105, 17) << true;
    QTest::newRow("CheckBox7") << "星期日" << QRect(288, 56, 97, 17) << true;
    QTest::newRow("Label5") << "Tessivar" << QRect(264, 31, -1, -1) << true;
    QTest::newRow("Label1") << "备份文件/文件夹源地址：" << QRect(3, 92, -1, -1) << true;
    QTest::newRow("Label2") << "备份文件/文件夹目的地址：" << QRect(3, 123, -1, -1) << true;
    QTest::newRow("Label7") << "保留最近的文件备份数：         " << QRect(3, 333, -1, -1) << true;
    QTest::newRow("Label6") << "个" << QRect(248, 335, -1, -1) << true;
    QTest::newRow("Label3") << "时刻         " << QRect(8, 112, -1, -1) << true;
}

void MainFormTest::controls() {
    QFETCH(QString, caption);
    QFETCH(QRect, geometry);
    QFETCH(bool, visible);
    TaskFolder task;
    ScriptedPrompts prompts;
    TMainForm form;
    QWidget* control = nullptr;
    if (caption == "执行周期") {
        control = form.GroupBox2;
        QCOMPARE(form.GroupBox2->title(), caption);
    } else {
        control = FindByText(&form, caption);
    }
    QVERIFY2(control, qPrintable(caption));
    QCOMPARE(control->pos(), geometry.topLeft());
    if (geometry.width() > 0) {
        QCOMPARE(control->size(), geometry.size());
    }
    QCOMPARE(control->isVisibleTo(&form), visible);
    QVERIFY(control->isEnabled());
}

void MainFormTest::helpLabels_data() {
    QTest::addColumn<int>("top");
    QTest::addColumn<QString>("caption");
    const QString blanks24(24, ' ');
    QTest::newRow("Label9") << 40 << "操作步骤：";
    QTest::newRow("Label10") << 56 << "1、保存配置信息；   ";
    QTest::newRow("Label11") << 72 << "2、启动备份计划；   ";
    QTest::newRow("Label12") << 88
                             << "3、如有需要在保存配置信息         \n     后手动备份。" + blanks24;
    QTest::newRow("Label14") << 128 << "使用说明：  ";
    QTest::newRow("Label15") << 144 << "1、文件备份数需大于等于1；      ";
    QTest::newRow("Label16") << 161 << "2、请自行确保备份文件所需\n空间；" + QString(53, ' ');
    QTest::newRow("Label17") << 190 << "3、支持网络备份；   ";
    QTest::newRow("Label18") << 208
                             << "4、每天最多保留一个备份，\n格式为\"源文件夹名_年月日\"；" +
                                    QString(15, ' ');
    QTest::newRow("Label8") << 238 << "5、支持文件、文件夹备份；        ";
    QTest::newRow("Label13")
        << 256
        << "6、将该执行文件放置不同目   \n录下执行，可同时运行以完\n成 不同备份任务。" + blanks24;
}

void MainFormTest::helpLabels() {
    QFETCH(int, top);
    QFETCH(QString, caption);
    TaskFolder task;
    ScriptedPrompts prompts;
    TMainForm form;
    QWidget* label = FindByText(form.GroupBox1, caption);
    QVERIFY2(label, qPrintable(caption));
    QCOMPARE(label->pos(), QPoint(576, top));
}

void MainFormTest::windowShape() {
    TaskFolder task;
    ScriptedPrompts prompts;
    TMainForm form;
    QCOMPARE(form.size(), QSize(763, 502));
    QVERIFY(form.windowTitle().isEmpty());
    QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    QCOMPARE(form.GroupBox1->geometry(), QRect(1, 0, 761, 481));
    QVERIFY(form.GroupBox1->title().isEmpty());
    QCOMPARE(form.StatusBar1->geometry(), QRect(0, 483, 763, 19));
    QCOMPARE(form.Edit1->geometry(), QRect(149, 88, 348, 21));
    QCOMPARE(form.Edit2->geometry(), QRect(149, 117, 348, 21));
    QVERIFY(form.Edit1->isReadOnly() && form.Edit2->isReadOnly());
    QVERIFY(!form.Edit3->isVisibleTo(&form));
    QCOMPARE(form.FileTimer2->interval(), 1000);
    QCOMPARE(form.FileTimer2->timerType(), Qt::PreciseTimer);

    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.resize(900, 700);
    QTRY_COMPARE(form.StatusBar1->geometry(), QRect(0, 681, 900, 19));
    QCOMPARE(form.Edit1->geometry(), QRect(149, 88, 348, 21));
    QCOMPARE(form.PanelText(1), QString());
    QVERIFY(!form.PanelText(0).isEmpty());
}

void MainFormTest::tabOrder() {
    TaskFolder task;
    ScriptedPrompts prompts;
    TMainForm form;
    const QList<QWidget*> expected = {form.Edit1,
                                      form.Button4,
                                      form.Edit2,
                                      form.Button5,
                                      form.Button6,
                                      form.DayBoxes[0],
                                      form.DayBoxes[1],
                                      form.DayBoxes[2],
                                      form.DayBoxes[3],
                                      form.DayBoxes[4],
                                      form.DayBoxes[5],
                                      form.DayBoxes[6],
                                      reinterpret_cast<QWidget*>(form.DateTimePicker1),
                                      form.Button7,
                                      form.Button10,
                                      form.Button8,
                                      form.Button9,
                                      reinterpret_cast<QWidget*>(form.DBNumberEditEh1)};
    for (qsizetype i = 1; i < expected.size(); ++i) {
        QWidget* next = expected[i - 1]->nextInFocusChain();
        // Composite controls (the picker) hold inner editors; skip to the next control.
        while (next && next != expected[i] &&
               (expected[i - 1]->isAncestorOf(next) || next->focusPolicy() == Qt::NoFocus)) {
            next = next->nextInFocusChain();
        }
        QVERIFY2(next == expected[i] || expected[i]->isAncestorOf(next) ||
                     next->isAncestorOf(expected[i]),
                 qPrintable(QString("after #%1").arg(i - 1)));
    }
}

void MainFormTest::accessibleNames() {
    TaskFolder task;
    ScriptedPrompts prompts;
    TMainForm form;
    QCOMPARE(form.Edit1->accessibleName(), "备份文件/文件夹源地址：");
    QCOMPARE(form.Edit2->accessibleName(), "备份文件/文件夹目的地址：");
    QCOMPARE(reinterpret_cast<QWidget*>(form.DateTimePicker1)->accessibleName(), "时刻");
    QCOMPARE(reinterpret_cast<QWidget*>(form.DBNumberEditEh1)->accessibleName(),
             "保留最近的文件备份数：");
}

void MainFormTest::closeQuestion_data() {
    QTest::addColumn<bool>("answer");
    QTest::addColumn<qint64>("sinceCommit");  // ms since the session manager's request; -1: none
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<bool>("duringRun");  // a manual run waits for another's lock meanwhile
    QTest::newRow("Yes") << true << -1LL << true << true << false;
    // Esc and closing the box both come back as "not Yes".
    QTest::newRow("No, Esc or box closed") << false << -1LL << true << false << false;
    QTest::newRow("the log-off's own close") << false << 4000LL << false << true << false;
    QTest::newRow("after a cancelled log-off") << false << 6000LL << true << false << false;
    QTest::newRow("Yes during a run") << true << -1LL << true << true << true;
    QTest::newRow("log-off during a run") << false << 4000LL << false << true << true;
}

void MainFormTest::closeQuestion() {
    QFETCH(bool, answer);
    QFETCH(qint64, sinceCommit);
    QFETCH(bool, asked);
    QFETCH(bool, closes);
    QFETCH(bool, duringRun);
    TaskFolder task;
    ScriptedPrompts prompts;
    MockClock clock(QDateTime(QDate(2024, 1, 1), QTime(9, 0)));
    TMainForm form;
    int ended = 0;
    form.EndProgram = [&] { ++ended; };
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.Button8Click();
    prompts.shown.clear();
    QProcess holder;
    if (duringRun) {
        QDir().mkpath("source");
        form.Edit1->setText(task.file("source"));
        form.Edit2->setText(task.file("copies"));
        holder.start("flock", {".tessivar.lock", "sleep", "10"});
        QVERIFY(holder.waitForStarted());
        QTest::qWait(300);
        form.Button10Click();
        QTRY_VERIFY(form.PanelText(1).startsWith("等待"));
    }
    if (sinceCommit >= 0) {
        form.SessionCommitting();
        clock.advance(sinceCommit);
    }
    prompts.confirmAnswers = {answer};
    QCloseEvent event;
    QCoreApplication::sendEvent(&form, &event);
    QCOMPARE(prompts.texts(ScriptedPrompts::Kind::Confirm),
             asked ? QStringList({"您确定要退出该系统吗？"}) : QStringList());
    QCOMPARE(event.isAccepted(), closes);
    // A run in progress stops first: the window goes at once, the program when it has.
    QCOMPARE(form.isVisible(), !(closes && duringRun));
    QTRY_COMPARE_WITH_TIMEOUT(ended, closes ? 1 : 0, 2000);
    QVERIFY(!form.RunInProgress());
    QVERIFY(!QFileInfo::exists("copies"));
    holder.kill();
    holder.waitForFinished();
    QCOMPARE(form.FileTimer2->isActive(), true);
    prompts.confirmAnswers.clear();
}

void MainFormTest::browse_data() {
    QTest::addColumn<bool>("source");
    QTest::addColumn<QString>("caption");
    QTest::newRow("source") << true << "请选择备份文件源地址";
    QTest::newRow("destination") << false << "请选择备份文件目的地址，文件将备份到指定位置";
}

void MainFormTest::browse() {
    QFETCH(bool, source);
    QFETCH(QString, caption);
    TaskFolder task;
    ScriptedPrompts prompts;
    TMainForm form;
    QLineEdit* field = source ? form.Edit1 : form.Edit2;
    QPushButton* button = source ? form.Button4 : form.Button5;
    field->setText("/old");
    prompts.folderAnswers = {QString("/srv/data"), QString()};
    button->click();
    QCOMPARE(field->text(), "/srv/data");
    button->click();  // cancelled
    QCOMPARE(field->text(), "/srv/data");
    QCOMPARE(prompts.texts(ScriptedPrompts::Kind::ChooseFolder), QStringList({caption, caption}));
}

void MainFormTest::startAndStopPlan() {
    TaskFolder task;
    ScriptedPrompts prompts;
    TMainForm form;
    form.Button8->click();
    QVERIFY(form.FileTimer2->isActive());
    QCOMPARE(form.PanelText(1), "启动备份计划");
    const int timerId = form.FileTimer2->timerId();
    form.Button8->click();  // a second start keeps the running timer and its period
    QCOMPARE(form.FileTimer2->timerId(), timerId);
    // The plan starts whatever the save's checks found.
    QCOMPARE(prompts.informations(), QStringList(2, "请输入要备份的文件地址！"));
    form.Button9->click();
    QVERIFY(!form.FileTimer2->isActive());
    QCOMPARE(form.PanelText(1), "终止备份计划");
    form.Button9->click();
    QCOMPARE(form.PanelText(1), "终止备份计划");
}

// The box of a failed planned run stands open for three seconds of the clock; the real
// timer ticks on meanwhile, and its next tick on the ticked day enables the plan buttons.
void MainFormTest::failedPlannedRunLeavesTheTimerTicking() {
    TaskFolder task;
    ScriptedPrompts prompts;
    MockClock clock(QDateTime(QDate(2024, 1, 1), QTime(8, 29, 49, 900)));  // a Monday
    TMainForm form;
    form.Edit1->setText(task.file("gone"));
    form.Edit2->setText(task.file("copies"));
    form.DayBoxes[0]->setChecked(true);
    form.SetPickerTime(QTime(8, 30));
    form.SetCountText("3");
    form.Button8Click();
    QVERIFY(prompts.shown.empty());
    int ticks = 0;
    // After the form's own handler: each tick sees the clock one second on.
    connect(form.FileTimer2, &QTimer::timeout, &form, [&] {
        ++ticks;
        clock.advance(1000);
    });
    int ticksWhileOpen = -1;
    bool disabledAtOpen = false;
    bool enabledBeforeOk = false;
    prompts.whileOpen = [&](const QString&) {
        const QDateTime opened = Clock::currentDateTime();
        const int before = ticks;
        disabledAtOpen = !form.Button8->isEnabled() && !form.Button10->isEnabled();
        QTRY_VERIFY_WITH_TIMEOUT(opened.msecsTo(Clock::currentDateTime()) >= 3000, 8000);
        ticksWhileOpen = ticks - before;
        enabledBeforeOk =
            form.Button8->isEnabled() && form.Button9->isEnabled() && form.Button10->isEnabled();
    };
    QTRY_VERIFY_WITH_TIMEOUT(ticksWhileOpen >= 0, 12000);
    QCOMPARE(prompts.errors(),
             QStringList({QString("The source \"%1\" does not exist.").arg(task.file("gone"))}));
    QVERIFY(disabledAtOpen);
    QCOMPARE(ticksWhileOpen, 3);
    QVERIFY(enabledBeforeOk);
}

QTEST_MAIN(MainFormTest)
#include "tst_MainForm.moc"
