#pragma once

#include "app/PlainFields.h"

#include <functional>
#include <stdexcept>

// The main window's fields as plain values, under the window's names, with a look at
// every status write.
class FakeFields : public PlainFields {
public:
    // Called with panel and text at every status write, to see what showed when.
    std::function<void(int, const QString&)> onPanel;

    // The program's write of the count's text belongs to the real field: a test that loads
    // settings gives one here, and any other write is a test's mistake.
    static inline std::function<void(FakeFields&, const QString&)> countWriter;
    void SetCountText(const QString& text) override {
        if (!countWriter) {
            throw std::logic_error("no count field to take the count's text");
        }
        countWriter(*this, text);
    }
    void SetPanelText(int panel, const QString& text) override {
        PlainFields::SetPanelText(panel, text);
        if (onPanel) {
            onPanel(panel, text);
        }
    }

    // The count as the user left it: text shown and value after the field's own rules.
    void SetCount(const QString& text, std::optional<double> value) {
        Count = text;
        Value = value;
    }
};
