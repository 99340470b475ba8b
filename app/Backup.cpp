#include "app/AppIcon.h"
#include "app/CommandLine.h"
#include "app/MainUnit.h"
#include "app/QtPrompts.h"
#include "app/Termination.h"
#include "app/VariableUnit.h"
#include "platform/Prompts.h"

#include <QApplication>

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
        EndOnTerminationSignals([] {});
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
