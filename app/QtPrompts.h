#pragma once

#include "platform/Prompts.h"

// The message boxes and the folder chooser of the running program, centred on the screen
// and modal to the whole application.
class QtPrompts final : public Prompts {
public:
    void information(const QString& text) override;
    bool confirm(const QString& text) override;
    void error(const QString& text) override;
    std::optional<QString> chooseFolder(const QString& caption) override;
};
