#include "app/AppIcon.h"
#include "app/BackupNow.h"
#include "app/CommandLine.h"
#include "app/Console.h"
#include "app/MainUnit.h"
#include "app/QtPrompts.h"
#include "app/Termination.h"
#include "app/VariableUnit.h"
#include "app/VerifyNow.h"
#include "platform/Prompts.h"

#include <QApplication>

namespace {

// The actions without a window: help, version, refused arguments, --backup-now and --verify,
// under an application object without any window system.
int RunWithoutWindow(int argc, char** argv, const CommandLine& line) {
    QCoreApplication application(argc, argv);
    switch (line.action) {
        case CommandLine::Action::Help:
            PrintOutput(HelpText());
            return kExitSucceeded;
        case CommandLine::Action::Version:
            PrintOutput(VersionText());
            return kExitSucceeded;
        case CommandLine::Action::BackupNow:
            return EnterTaskFolder(line.taskFolder) ? BackupNow() : kExitBadArguments;
        case CommandLine::Action::Verify:
            return EnterTaskFolder(line.taskFolder) ? VerifyNow(line.verifyCopy)
                                                    : kExitBadArguments;
        case CommandLine::Action::Refused:
        case CommandLine::Action::Window:
        case CommandLine::Action::StartPlan:
            break;
    }
    PrintError(line.refusal);
    PrintError(QStringLiteral("用 %1 --help 查看可用的选项。").arg(kProgramName));
    return kExitBadArguments;
}

}  // namespace

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    const CommandLine line = ParseCommandLine(arguments);
    if (line.action != CommandLine::Action::Window &&
        line.action != CommandLine::Action::StartPlan) {
        return RunWithoutWindow(argc, argv, line);
    }
    if (!EnterTaskFolder(line.taskFolder)) {
        return kExitBadArguments;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(VariableUnit::kApplicationTitle);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(AppIcon());

    QtPrompts prompts;
    Prompts::setInstance(&prompts);

    int exitCode = 0;
    {
        TMainForm form;
        MainForm = &form;
        // The session's end or a terminal's signal: a run in progress stops first.
        OnTerminationSignals([&form] { form.EndProgramNow(); });
        form.CentreOnScreen();
        if (line.action == CommandLine::Action::StartPlan) {
            form.StartPlanAtLogin();
        } else {
            form.show();
        }
        exitCode = QApplication::exec();
    }
    Prompts::setInstance(nullptr);
    return exitCode;
}
