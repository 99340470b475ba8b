#include "platform/Prompts.h"

#include <QDebug>

Prompts::~Prompts() = default;

namespace {

// Used before a window exists or when nothing is installed: nothing is shown, nothing is
// agreed to, so no destructive step can follow an unseen question.
class SilentPrompts final : public Prompts {
public:
    void information(const QString& text) override { qWarning().noquote() << text; }
    bool confirm(const QString& text) override {
        qWarning().noquote() << text;
        return false;
    }
    void error(const QString& text) override { qWarning().noquote() << text; }
    std::optional<QString> chooseFolder(const QString&) override { return std::nullopt; }
};

SilentPrompts silentPrompts;
Prompts* currentPrompts = &silentPrompts;

}  // namespace

Prompts& Prompts::instance() {
    return *currentPrompts;
}

void Prompts::setInstance(Prompts* prompts) {
    currentPrompts = prompts ? prompts : &silentPrompts;
}

QString WithFullStop(const QString& text) {
    if (!text.isEmpty() && text.back().unicode() > u'.') {
        return text + u'.';
    }
    return text;
}

void ShowApplicationError(const QString& text) {
    Prompts::instance().error(WithFullStop(text));
}

void ShowBoxes(const std::vector<HeldBox>& boxes) {
    for (const HeldBox& box : boxes) {
        if (box.kind == HeldBox::Kind::Error) {
            Prompts::instance().error(box.text);
        } else {
            Prompts::instance().information(box.text);
        }
    }
}
