#pragma once

#include <QString>
#include <QTime>
#include <optional>

enum class PlanButton { Button8, Button9, Button10 };

// The values the logic reads and writes through the main window's controls. TMainForm
// implements it over its widgets; tests use a plain object with the same names.
class MainFormFields {
public:
    virtual ~MainFormFields() = default;

    // Source path, destination folder and the hidden source-name field.
    virtual QString Edit1Text() const = 0;
    virtual void SetEdit1Text(const QString& text) = 0;
    virtual QString Edit2Text() const = 0;
    virtual void SetEdit2Text(const QString& text) = 0;
    virtual QString Edit3Text() const = 0;
    virtual void SetEdit3Text(const QString& text) = 0;

    // Weekday boxes by index, Monday = 0 ... Sunday = 6 (captions: WeekdayCaptions()).
    virtual bool DayTicked(int day) const = 0;
    virtual void SetDayTicked(int day, bool ticked) = 0;

    // DateTimePicker1's time of day, seconds included (it shows only "HH:mm").
    virtual QTime PickerTime() const = 0;
    virtual void SetPickerTime(const QTime& time) = 0;

    // DBNumberEditEh1: its text as shown, its value (empty when the text is), and the
    // program's write of its text, which throws the field's conversion error.
    virtual QString CountText() const = 0;
    virtual std::optional<double> CountValue() const = 0;
    virtual void SetCountText(const QString& text) = 0;

    // The two panels of StatusBar1. Writing panel 1 shows the text at once, before any
    // long step that follows.
    virtual QString PanelText(int panel) const = 0;
    virtual void SetPanelText(int panel, const QString& text) = 0;

    virtual bool ButtonEnabled(PlanButton button) const = 0;
    virtual void SetButtonEnabled(PlanButton button, bool enabled) = 0;

    // The last day list loaded from the file or built from the boxes.
    QString DayList;
};
