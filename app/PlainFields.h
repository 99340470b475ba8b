#pragma once

#include "platform/MainFormFields.h"
#include "widgets/NumberText.h"

#include <array>
#include <map>

// The main window's fields as plain values, under the window's names: what the logic
// reads and writes where no window exists (a run from the command line).
class PlainFields : public MainFormFields {
public:
    QString Edit1, Edit2, Edit3;
    std::array<bool, 7> Days{};
    QTime Picker{8, 30, 0};
    QString Count;
    std::optional<double> Value;
    std::array<QString, 2> Panels;
    std::map<PlanButton, bool> Enabled{
        {PlanButton::Button8, true}, {PlanButton::Button9, true}, {PlanButton::Button10, true}};

    QString Edit1Text() const override { return Edit1; }
    void SetEdit1Text(const QString& text) override { Edit1 = text; }
    QString Edit2Text() const override { return Edit2; }
    void SetEdit2Text(const QString& text) override { Edit2 = text; }
    QString Edit3Text() const override { return Edit3; }
    void SetEdit3Text(const QString& text) override { Edit3 = text; }
    bool DayTicked(int day) const override { return Days.at(day); }
    void SetDayTicked(int day, bool ticked) override { Days.at(day) = ticked; }
    QTime PickerTime() const override { return Picker; }
    void SetPickerTime(const QTime& time) override { Picker = time; }
    QString CountText() const override { return Count; }
    std::optional<double> CountValue() const override { return Value; }
    // The count field's own rule for a text the program writes into it.
    void SetCountText(const QString& text) override {
        Value = NumberText::ValueOfProgramText(text);
        Count = Value ? NumberText::General(*Value) : QString();
    }
    QString PanelText(int panel) const override { return Panels.at(panel); }
    void SetPanelText(int panel, const QString& text) override { Panels.at(panel) = text; }
    bool ButtonEnabled(PlanButton button) const override { return Enabled.at(button); }
    void SetButtonEnabled(PlanButton button, bool enabled) override { Enabled[button] = enabled; }
};
