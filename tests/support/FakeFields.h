#pragma once

#include "platform/MainFormFields.h"

#include <array>
#include <functional>
#include <map>
#include <stdexcept>

// The main window's fields as plain values, under the window's names.
class FakeFields : public MainFormFields {
public:
    QString Edit1, Edit2, Edit3;
    std::array<bool, 7> Days{};
    QTime Picker{8, 30, 0};
    QString Count;
    std::optional<double> Value;
    std::array<QString, 2> Panels;
    std::map<PlanButton, bool> Enabled{
        {PlanButton::Button8, true}, {PlanButton::Button9, true}, {PlanButton::Button10, true}};
    // Called with panel and text at every status write, to see what showed when.
    std::function<void(int, const QString&)> onPanel;

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
    // The program's write of the count's text belongs to the real field: a test that loads
    // settings gives one here, and any other write is a test's mistake.
    static inline std::function<void(FakeFields&, const QString&)> countWriter;
    void SetCountText(const QString& text) override {
        if (!countWriter) {
            throw std::logic_error("no count field to take the count's text");
        }
        countWriter(*this, text);
    }
    QString PanelText(int panel) const override { return Panels.at(panel); }
    void SetPanelText(int panel, const QString& text) override {
        Panels.at(panel) = text;
        if (onPanel) {
            onPanel(panel, text);
        }
    }
    bool ButtonEnabled(PlanButton button) const override { return Enabled.at(button); }
    void SetButtonEnabled(PlanButton button, bool enabled) override { Enabled[button] = enabled; }

    // The count as the user left it: text shown and value after the field's own rules.
    void SetCount(const QString& text, std::optional<double> value) {
        Count = text;
        Value = value;
    }
};
