#include "app/MainUnit.h"

#include "app/AppIcon.h"
#include "app/DateTimePicker.h"
#include "app/StatusBar.h"
#include "engine/BackupRun.h"
#include "engine/Runs.h"
#include "engine/TaskFolder.h"
#include "log/LogFile.h"
#include "log/LogShowUnit.h"
#include "plan/PlannedRun.h"
#include "platform/Clock.h"
#include "platform/Guard.h"
#include "platform/Prompts.h"
#include "platform/Weekdays.h"
#include "settings/Settings.h"
#include "widgets/DBNumberEditEh.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSessionManager>
#include <QTimer>

TMainForm* MainForm = nullptr;

namespace {

constexpr int kClientWidth = 763;
constexpr int kClientHeight = 502;
// How often a run's progress is shown.
constexpr int kProgressPeriodMsecs = 250;

const QString kTrayTip = QStringLiteral("Tessivar");
// Panel 1 while a run waits for another run of the same task folder to end.
const QString kWaitingStatus = QStringLiteral("等待本任务的另一个备份结束……");

QFont PixelFont(const QString& family, int pixels) {
    QFont font(family);
    font.setPixelSize(pixels);
    return font;
}

QLabel* MakeLabel(QWidget* parent, const QString& caption, int left, int top) {
    auto* label = new QLabel(caption, parent);
    label->setTextFormat(Qt::PlainText);
    label->move(left, top);
    label->adjustSize();
    return label;
}

QPushButton* MakeButton(QWidget* parent, const QString& caption, const QRect& geometry) {
    auto* button = new QPushButton(caption, parent);
    button->setAutoDefault(false);
    button->setGeometry(geometry);
    return button;
}

QLineEdit* MakeEdit(QWidget* parent, const QRect& geometry, bool readOnly) {
    auto* edit = new QLineEdit(parent);
    edit->setGeometry(geometry);
    edit->setReadOnly(readOnly);
    return edit;
}

void SetBlackText(QWidget* widget) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    widget->setPalette(palette);
}

// A screen reader names a field after the label in front of it.
void NameAfterLabel(QWidget* field, QLabel* label) {
    label->setBuddy(field);
    QString name = label->text();
    while (name.endsWith(u' ')) {
        name.chop(1);
    }
    field->setAccessibleName(name);
}

}  // namespace

TMainForm::TMainForm(QWidget* parent) : QWidget(parent), Tray(*this) {
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QString());
    setWindowIcon(AppIcon());
    setFont(PixelFont(QStringLiteral("Arial"), 11));
    resize(kClientWidth, kClientHeight);
    buildControls();
    setTabOrder();
    connectHandlers();
    EndProgram = [] { QCoreApplication::exit(0); };
    // No session restore relaunches the program: it would start in the session manager's
    // folder, not in the task folder.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& manager) {
        manager.setRestartHint(QSessionManager::RestartNever);
        SessionCommitting();
    });
    connect(qApp, &QGuiApplication::saveStateRequest, this, [](QSessionManager& manager) {
        manager.setRestartHint(QSessionManager::RestartNever);
    });
    RunGuarded([this] { FormCreate(); });
}

// FormDestroy.
TMainForm::~TMainForm() {
    for (const QPointer<TLogShowForm>& viewer : std::as_const(viewers_)) {
        delete viewer.data();  // and so do the viewers still open
    }
    if (MainForm == this) {
        MainForm = nullptr;
    }
}

void TMainForm::buildControls() {
    StatusBar1 = new TStatusBar(this);
    StatusBar1->setGeometry(0, kClientHeight - TStatusBar::kHeight, kClientWidth,
                            TStatusBar::kHeight);

    GroupBox1 = new QGroupBox(this);
    GroupBox1->setGeometry(1, 0, 761, 481);
    GroupBox1->setFont(PixelFont(QStringLiteral("MS Sans Serif"), 11));
    SetBlackText(GroupBox1);

    Label5 = MakeLabel(GroupBox1, QStringLiteral("Tessivar"), 264, 31);
    Label5->setFont(PixelFont(QStringLiteral("华文行楷"), 21));
    QPalette red = Label5->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    Label5->setPalette(red);
    Label5->adjustSize();

    Label1 = MakeLabel(GroupBox1, QStringLiteral("备份文件/文件夹源地址："), 3, 92);
    Label2 = MakeLabel(GroupBox1, QStringLiteral("备份文件/文件夹目的地址："), 3, 123);
    for (QLabel* label : {Label1, Label2}) {
        label->setFont(PixelFont(QStringLiteral("Arial"), 11));
        label->adjustSize();
        SetBlackText(label);
    }
    Label1->resize(std::max(133, Label1->width()), std::max(13, Label1->height()));
    Label2->resize(std::max(142, Label2->width()), std::max(13, Label2->height()));

    Edit1 = MakeEdit(GroupBox1, QRect(149, 88, 348, 21), true);
    Button4 = MakeButton(GroupBox1, QStringLiteral("..."), QRect(502, 85, 62, 25));
    Edit2 = MakeEdit(GroupBox1, QRect(149, 117, 348, 21), true);
    Button5 = MakeButton(GroupBox1, QStringLiteral("..."), QRect(502, 116, 62, 25));
    Edit3 = MakeEdit(GroupBox1, QRect(320, 144, 113, 21), false);
    Edit3->setVisible(false);
    NameAfterLabel(Edit1, Label1);
    NameAfterLabel(Edit2, Label2);
    Button4->setAccessibleName(QStringLiteral("请选择备份文件源地址"));
    Button5->setAccessibleName(QStringLiteral("请选择备份文件目的地址，文件将备份到指定位置"));

    buildScheduleBox();

    Label7 = MakeLabel(GroupBox1, QStringLiteral("保留最近的文件备份数：         "), 3, 333);
    DBNumberEditEh1 = new TDBNumberEditEh(GroupBox1);
    DBNumberEditEh1->setGeometry(160, 330, 81, 21);
    NameAfterLabel(DBNumberEditEh1, Label7);
    Label6 = MakeLabel(GroupBox1, QStringLiteral("个"), 248, 335);

    Button11 = MakeButton(GroupBox1, QStringLiteral("Button11"), QRect(480, 336, 75, 25));
    Button11->setVisible(false);
    Button6 = MakeButton(GroupBox1, QStringLiteral("保存配置信息"), QRect(8, 376, 113, 33));
    Button8 = MakeButton(GroupBox1, QStringLiteral("启动备份计划"), QRect(120, 376, 113, 33));
    Button9 = MakeButton(GroupBox1, QStringLiteral("终止备份计划"), QRect(232, 376, 113, 33));
    Button10 = MakeButton(GroupBox1, QStringLiteral("手动执行备份"), QRect(344, 376, 113, 33));
    Button7 = MakeButton(GroupBox1, QStringLiteral("查看操作日志"), QRect(453, 376, 113, 33));

    buildHelpText();

    FileTimer2 = new QTimer(this);
    FileTimer2->setInterval(1000);
    FileTimer2->setTimerType(Qt::PreciseTimer);
    ProgressTimer = new QTimer(this);
    ProgressTimer->setInterval(kProgressPeriodMsecs);
}

void TMainForm::buildScheduleBox() {
    GroupBox2 = new QGroupBox(QStringLiteral("执行周期"), GroupBox1);
    GroupBox2->setGeometry(16, 168, 553, 153);
    const std::array<QRect, kWeekdayCount> places = {
        QRect(8, 24, 89, 17),    QRect(144, 24, 97, 17), QRect(288, 24, 105, 17),
        QRect(424, 24, 121, 17), QRect(8, 56, 89, 17),   QRect(144, 56, 105, 17),
        QRect(288, 56, 97, 17)};
    for (int day = 0; day < kWeekdayCount; ++day) {
        auto* box = new QCheckBox(WeekdayCaptions()[day], GroupBox2);
        box->setGeometry(places[day]);
        DayBoxes[day] = box;
    }
    Label3 = MakeLabel(GroupBox2, QStringLiteral("时刻         "), 8, 112);
    DateTimePicker1 = new TDateTimePicker(GroupBox2);
    DateTimePicker1->setGeometry(64, 104, 97, 31);
    DateTimePicker1->setFont(PixelFont(QStringLiteral("Tahoma"), 19));
    NameAfterLabel(DateTimePicker1, Label3);
}

void TMainForm::buildHelpText() {
    struct HelpLine {
        int top;
        QString caption;
    };
    const HelpLine lines[] = {
        {40, QStringLiteral("操作步骤：")},
        {56, QStringLiteral("1、保存配置信息；   ")},
        {72, QStringLiteral("2、启动备份计划；   ")},
        {88, QStringLiteral("3、如有需要在保存配置信息         \n     后手动备份。") +
                 QString(24, u' ')},
        {128, QStringLiteral("使用说明：  ")},
        {144, QStringLiteral("1、文件备份数需大于等于1；      ")},
        {161, QStringLiteral("2、请自行确保备份文件所需\n空间；") + QString(53, u' ')},
        {190, QStringLiteral("3、支持网络备份；   ")},
        {208, QStringLiteral("4、每天最多保留一个备份，\n格式为\"源文件夹名_年月日\"；") +
                  QString(15, u' ')},
        {238, QStringLiteral("5、支持文件、文件夹备份；        ")},
        {256, QStringLiteral(
                  "6、将该执行文件放置不同目   \n录下执行，可同时运行以完\n成 不同备份任务。") +
                  QString(24, u' ')},
    };
    for (const HelpLine& line : lines) {
        MakeLabel(GroupBox1, line.caption, 576, line.top);
    }
}

void TMainForm::setTabOrder() {
    const QList<QWidget*> order = {
        Edit1,           Button4,     Edit2,       Button5,     Button6,     DayBoxes[0],
        DayBoxes[1],     DayBoxes[2], DayBoxes[3], DayBoxes[4], DayBoxes[5], DayBoxes[6],
        DateTimePicker1, Button7,     Button10,    Button8,     Button9,     DBNumberEditEh1};
    for (qsizetype i = 1; i < order.size(); ++i) {
        QWidget::setTabOrder(order[i - 1], order[i]);
    }
}

void TMainForm::connectHandlers() {
    const auto bind = [this](QPushButton* button, void (TMainForm::*handler)()) {
        connect(button, &QPushButton::clicked, this,
                [this, handler] { RunGuarded([this, handler] { (this->*handler)(); }); });
    };
    bind(Button4, &TMainForm::Button1Click);
    bind(Button5, &TMainForm::Button5Click);
    bind(Button6, &TMainForm::Button6Click);
    bind(Button7, &TMainForm::Button7Click);
    bind(Button8, &TMainForm::Button8Click);
    bind(Button9, &TMainForm::Button9Click);
    bind(Button10, &TMainForm::Button10Click);
    bind(Button11, &TMainForm::Button11Click);
    // The tick's own guard: a box shown inside the timer's handler would hold back every
    // later tick of the timer while it is open.
    connect(&job_, &BackupJob::stageReached, this, &TMainForm::RunStageReached);
    connect(&job_, &BackupJob::finished, this, &TMainForm::RunFinished);
    connect(ProgressTimer, &QTimer::timeout, this, &TMainForm::ShowProgress);
    connect(FileTimer2, &QTimer::timeout, this, [this] {
        if (const std::optional<QString> failure = FailureOf([this] { FileTimer2Timer(); })) {
            ShowLater({{HeldBox::Kind::Error, WithFullStop(*failure)}});
        }
    });
}

void TMainForm::FormCreate() {
    FileTimer2->stop();
    if (PrepareTaskFolder()) {
        StatusBar1->SetPanelWidth(0, StatusBar1->width() / 2);
    }
}

void TMainForm::FormShow() {
    LoadSettings(*this);
}

void TMainForm::Button1Click() {
    if (const auto folder =
            Prompts::instance().chooseFolder(QStringLiteral("请选择备份文件源地址"))) {
        Edit1->setText(*folder);
    }
}

void TMainForm::Button5Click() {
    if (const auto folder = Prompts::instance().chooseFolder(
            QStringLiteral("请选择备份文件目的地址，文件将备份到指定位置"))) {
        Edit2->setText(*folder);
    }
}

void TMainForm::Button6Click() {
    SaveSettings(*this);
}

void TMainForm::Button7Click() {
    EnsureLogFile();
    LogShowForm = new TLogShowForm();
    viewers_.removeAll(nullptr);
    viewers_ << LogShowForm;
    LogShowForm->show();
    LogShowForm->raise();
    LogShowForm->activateWindow();
}

void TMainForm::Button8Click() {
    RunGuarded([this] { Button6Click(); });
    if (!FileTimer2->isActive()) {
        plan_.Start();
        FileTimer2->start();
    }
    SetPanelText(1, QStringLiteral("启动备份计划"));
}

void TMainForm::Button9Click() {
    FileTimer2->stop();
    SetPanelText(1, QStringLiteral("终止备份计划"));
}

// A click while a run is on does nothing, then or later.
void TMainForm::Button10Click() {
    if (!job_.running()) {
        StartRun(RunKind::Manual, [settings = TaskSettingsOf(*this)](RunControl& control) {
            return ManualBackup(settings, control);
        });
    }
}

void TMainForm::Button11Click() {
    if (!job_.running()) {
        StartRun(RunKind::Pruning, [settings = TaskSettingsOf(*this)](RunControl& control) {
            return Pruning(settings, control);
        });
    }
}

// A tick that comes while a run is on neither starts a run nor changes the buttons.
void TMainForm::FileTimer2Timer() {
    if (!job_.running() && plan_.Tick(*this)) {
        StartRun(RunKind::Planned, [settings = TaskSettingsOf(*this)](RunControl& control) {
            return PlannedBackup(settings, control);
        });
    }
}

void TMainForm::StartRun(RunKind kind, BackupJob::Work work) {
    runKind_ = kind;
    shownFraction_ = 0;
    job_.start(std::move(work));
    ProgressTimer->start();
}

void TMainForm::RunStageReached(RunStage stage, const QString& sourceName) {
    if (stage == RunStage::WaitingForLock) {
        panelBeforeWait_ = PanelText(1);
        SetPanelText(1, kWaitingStatus);
    } else if (stage == RunStage::Copying) {
        SetPanelText(1, kBackingUpStatus);
        SetEdit3Text(sourceName);
    }
}

void TMainForm::RunFinished(const RunReport& report) {
    ProgressTimer->stop();
    if (report.placed) {
        taskbar_.show(1);
    }
    taskbar_.hide();
    Tray.SetTip(kTrayTip);
    if (ending_) {
        EndProgram();
        return;
    }
    if (PanelText(1) == kWaitingStatus) {
        SetPanelText(1, panelBeforeWait_);
    }
    if (report.logged) {
        SetPanelText(1, kBackedUpStatus);
    }
    const RunOutcome outcome = OutcomeOf(report);
    if (runKind_ == RunKind::Planned) {
        plan_.RunEnded(*this, outcome.failed);
    }
    ShowLater(outcome.boxes);
}

// The share done, on the taskbar entry and in the tray icon's tip; never going back.
void TMainForm::ShowProgress() {
    const RunControl::Progress progress = job_.progress();
    if (!progress.measured) {
        return;
    }
    shownFraction_ = std::max(shownFraction_, progress.fraction());
    taskbar_.show(shownFraction_);
    Tray.SetTip(kTrayTip + QStringLiteral("\n%1%").arg(static_cast<int>(shownFraction_ * 100)));
}

void TMainForm::EndProgramNow() {
    if (!job_.running()) {
        EndProgram();
        return;
    }
    // The window goes at once; the program ends when the run has stopped.
    ending_ = true;
    for (const QPointer<TLogShowForm>& viewer : std::as_const(viewers_)) {
        if (viewer) {
            viewer->hide();
        }
    }
    hide();
    Tray.Remove();
    job_.requestStop();
}

void TMainForm::ShowLater(std::vector<HeldBox> boxes) {
    if (!boxes.empty()) {
        QTimer::singleShot(0, this, [boxes = std::move(boxes)] { ShowBoxes(boxes); });
    }
}

void TMainForm::CentreOnScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) {
        return;
    }
    const QRect available = screen->availableGeometry();
    const QSize outer = frameGeometry().size();
    move(available.center() - QPoint(outer.width() / 2, outer.height() / 2));
}

void TMainForm::StartPlanAtLogin() {
    LoadOnFirstShowing();
    RunGuarded([this] { Button8Click(); });
    if (Tray.Available()) {
        MinimiseToTray();
    } else {
        show();
    }
}

void TMainForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    LoadOnFirstShowing();
}

void TMainForm::LoadOnFirstShowing() {
    if (!formShown_) {
        formShown_ = true;
        RunGuarded([this] { FormShow(); });
    }
}

void TMainForm::closeEvent(QCloseEvent* event) {
    FormClose(event);
}

// The frame's size is known only once the window manager has framed the window, which
// moves it; then it is centred once more, frame included.
void TMainForm::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    if (formShown_ && !centredInFrame_ && frameGeometry().size() != size()) {
        centredInFrame_ = true;
        CentreOnScreen();
    }
}

void TMainForm::SessionCommitting() {
    session_.Committing();
}

void TMainForm::FormClose(QCloseEvent* event) {
    if (session_.CloseIsTheSessions() ||
        Prompts::instance().confirm(QStringLiteral("您确定要退出该系统吗？"))) {
        event->accept();
        EndProgramNow();
        return;
    }
    event->ignore();
}

void TMainForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    StatusBar1->setGeometry(0, height() - TStatusBar::kHeight, width(), TStatusBar::kHeight);
}

void TMainForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && isVisible() &&
        Tray.Available()) {
        // Leave the window manager's own handling of the minimise to finish first.
        QTimer::singleShot(0, this, [this] {
            if (isMinimized() && isVisible()) {
                MinimiseToTray();
            }
        });
    }
}

void TMainForm::MinimiseToTray() {
    Tray.Minimise(viewers_);
}

void TMainForm::RestoreFromTray() {
    Tray.Restore();
}

QString TMainForm::Edit1Text() const {
    return Edit1->text();
}
void TMainForm::SetEdit1Text(const QString& text) {
    Edit1->setText(text);
}
QString TMainForm::Edit2Text() const {
    return Edit2->text();
}
void TMainForm::SetEdit2Text(const QString& text) {
    Edit2->setText(text);
}
QString TMainForm::Edit3Text() const {
    return Edit3->text();
}
void TMainForm::SetEdit3Text(const QString& text) {
    Edit3->setText(text);
}
bool TMainForm::DayTicked(int day) const {
    return DayBoxes.at(day)->isChecked();
}
void TMainForm::SetDayTicked(int day, bool ticked) {
    DayBoxes.at(day)->setChecked(ticked);
}
QTime TMainForm::PickerTime() const {
    return DateTimePicker1->Time();
}
void TMainForm::SetPickerTime(const QTime& time) {
    DateTimePicker1->SetTime(time);
}
QString TMainForm::CountText() const {
    return DBNumberEditEh1->Text();
}
std::optional<double> TMainForm::CountValue() const {
    return DBNumberEditEh1->Value();
}
void TMainForm::SetCountText(const QString& text) {
    DBNumberEditEh1->SetText(text);
}
QString TMainForm::PanelText(int panel) const {
    return StatusBar1->PanelText(panel);
}
void TMainForm::SetPanelText(int panel, const QString& text) {
    StatusBar1->SetPanelText(panel, text);
}

QPushButton* TMainForm::planButton(PlanButton button) const {
    switch (button) {
        case PlanButton::Button8:
            return Button8;
        case PlanButton::Button9:
            return Button9;
        case PlanButton::Button10:
            break;
    }
    return Button10;
}

bool TMainForm::ButtonEnabled(PlanButton button) const {
    return planButton(button)->isEnabled();
}
void TMainForm::SetButtonEnabled(PlanButton button, bool enabled) {
    planButton(button)->setEnabled(enabled);
}
