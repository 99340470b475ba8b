#include "app/BackupNow.h"

#include "app/CommandLine.h"
#include "app/PlainFields.h"
#include "engine/BackupRun.h"
#include "engine/Catalogue.h"
#include "engine/Retention.h"
#include "engine/TaskFolder.h"
#include "platform/Guard.h"
#include "platform/Prompts.h"
#include "platform/TaskLock.h"
#include "settings/Settings.h"

namespace {

// The boxes of a run, written to stderr. Nobody is there to answer a question: every
// confirmation is declined, so no destructive step follows an unseen one.
class StderrPrompts final : public Prompts {
public:
    StderrPrompts() { Prompts::setInstance(this); }
    ~StderrPrompts() override { Prompts::setInstance(nullptr); }

    bool errorShown = false;

    void information(const QString& text) override { PrintError(text); }
    bool confirm(const QString& text) override {
        PrintError(text);
        return false;
    }
    void error(const QString& text) override {
        errorShown = true;
        PrintError(text);
    }
    std::optional<QString> chooseFolder(const QString&) override { return std::nullopt; }
};

const QString kBackedUp = QStringLiteral("文件备份完毕！");

}  // namespace

int BackupNow() {
    StderrPrompts prompts;
    PlainFields fields;
    RunGuarded([] { PrepareTaskFolder(); });
    if (!prompts.errorShown) {
        RunGuarded([&fields] { LoadSettings(fields); });
    }
    if (prompts.errorShown) {
        return kExitRunFailed;
    }
    RunGuarded([&fields] {
        Catalogue catalogue;
        const TaskLock lock;
        RunBackup(fields, catalogue);
        if (!fields.CountText().trimmed().isEmpty()) {
            PruneBackups(fields, catalogue);
        }
    });
    // The run's last status is the one it shows once the copy is made; a check that
    // stopped it, or a failure, leaves it otherwise.
    const bool copied = fields.PanelText(1) == kBackedUp;
    return copied && !prompts.errorShown ? kExitSucceeded : kExitRunFailed;
}
