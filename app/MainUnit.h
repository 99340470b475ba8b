#pragma once

#include "app/SessionEnd.h"
#include "app/TaskbarProgress.h"
#include "app/TrayController.h"
#include "engine/BackupJob.h"
#include "plan/PlanTimer.h"
#include "platform/MainFormFields.h"
#include "platform/Prompts.h"

#include <QDateTime>
#include <QPointer>
#include <QWidget>
#include <array>
#include <functional>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSystemTrayIcon;
class QTimer;
class TLogShowForm;
class TDBNumberEditEh;
class TDateTimePicker;
class TStatusBar;

// The main window. Its controls hold the settings; its handlers are thin and hand the
// work to the logic libraries, each inside the guard that shows failures.
class TMainForm : public QWidget, public MainFormFields {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    void FormCreate();
    void FormShow();
    void Button1Click();   // browse for the source (Button4)
    void Button5Click();   // browse for the destination
    void Button6Click();   // save the settings
    void Button7Click();   // show the operation log
    void Button8Click();   // start the plan
    void Button9Click();   // stop the plan
    void Button10Click();  // back up now
    void Button11Click();  // prune old copies; only the plan calls it
    void FileTimer2Timer();

    // A confirmed close, a log-off or a termination signal: the window goes at once, a run
    // in progress is asked to stop, and the program ends when it has.
    void EndProgramNow();
    // Whether a backup or a pruning runs now.
    bool RunInProgress() const { return job_.running(); }

    void CentreOnScreen();

    // The session manager asks the program to save its data before the session ends. A
    // close that follows within a few seconds is the log-off's own and ends the program
    // without the question; a log-off that was cancelled leaves none, so a later close asks
    // again.
    void SessionCommitting();

    // --start-plan: the settings loaded as the first showing loads them, the plan started
    // as "启动备份计划" starts it, then the window hidden in the tray where there is one,
    // else shown.
    void StartPlanAtLogin();

    // Minimising hides the window and its open log viewers behind a tray icon, when the
    // desktop has a tray; a left click on the icon brings them back.
    void MinimiseToTray();
    void RestoreFromTray();

    // MainFormFields
    QString Edit1Text() const override;
    void SetEdit1Text(const QString& text) override;
    QString Edit2Text() const override;
    void SetEdit2Text(const QString& text) override;
    QString Edit3Text() const override;
    void SetEdit3Text(const QString& text) override;
    bool DayTicked(int day) const override;
    void SetDayTicked(int day, bool ticked) override;
    QTime PickerTime() const override;
    void SetPickerTime(const QTime& time) override;
    QString CountText() const override;
    std::optional<double> CountValue() const override;
    void SetCountText(const QString& text) override;
    QString PanelText(int panel) const override;
    void SetPanelText(int panel, const QString& text) override;
    bool ButtonEnabled(PlanButton button) const override;
    void SetButtonEnabled(PlanButton button, bool enabled) override;

    // The controls, by the names the rest of the program and its tests know them by.
    QGroupBox* GroupBox1 = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label7 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QLineEdit* Edit3 = nullptr;
    QPushButton* Button4 = nullptr;
    QPushButton* Button5 = nullptr;
    QPushButton* Button6 = nullptr;
    QPushButton* Button7 = nullptr;
    QPushButton* Button8 = nullptr;
    QPushButton* Button9 = nullptr;
    QPushButton* Button10 = nullptr;
    QPushButton* Button11 = nullptr;
    std::array<QCheckBox*, 7> DayBoxes{};  // Monday first: CheckBox1, 2, 8, 4, 5, 6, 7
    TDateTimePicker* DateTimePicker1 = nullptr;
    TDBNumberEditEh* DBNumberEditEh1 = nullptr;
    TStatusBar* StatusBar1 = nullptr;
    QTimer* FileTimer2 = nullptr;
    QTimer* ProgressTimer = nullptr;  // runs while a run is on
    TrayController Tray;
    std::function<void()> EndProgram;  // a confirmed close ends the program's run loop

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void buildControls();
    void buildScheduleBox();
    void buildHelpText();
    void setTabOrder();
    void connectHandlers();
    void FormClose(QCloseEvent* event);
    QPushButton* planButton(PlanButton button) const;
    // FormShow, once: at the first showing, or before the plan starts hidden.
    void LoadOnFirstShowing();
    // Shows the boxes once the handler has returned, so the timer ticks on meanwhile.
    void ShowLater(std::vector<HeldBox> boxes);

    // A run, on the job's thread; what it reaches and its end come back to the window.
    enum class RunKind { Manual, Planned, Pruning };
    void StartRun(RunKind kind, BackupJob::Work work);
    void RunStageReached(RunStage stage, const QString& sourceName);
    void RunFinished(const RunReport& report);
    void ShowProgress();

    PlanSchedule plan_;
    BackupJob job_;
    RunKind runKind_ = RunKind::Manual;
    TaskbarProgress taskbar_;
    double shownFraction_ = 0;
    QString panelBeforeWait_;
    bool ending_ = false;
    QList<QPointer<TLogShowForm>> viewers_;  // the log viewers opened, owned by the application
    bool formShown_ = false;
    bool centredInFrame_ = false;
    SessionEnd session_;
};

// The one main window of the process.
extern TMainForm* MainForm;
