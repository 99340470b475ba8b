#include "app/CommandLine.h"

#include "app/BackupNow.h"
#include "platform/Error.h"
#include "platform/WorkingFiles.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <optional>

#include <unistd.h>

namespace {

const QString kProgramName = QStringLiteral("tessivar");

struct Options {
    QCommandLineOption task{QStringLiteral("task"),
                            QStringLiteral("以 DIR 为任务文件夹，如同在该文件夹中启动。"),
                            QStringLiteral("DIR")};
    QCommandLineOption backupNow{
        QStringLiteral("backup-now"),
        QStringLiteral("不开窗口，按 config.ini 执行一次备份（之后按备份个数清理旧备份）。")};
    QCommandLineOption startPlan{QStringLiteral("start-plan"),
                                 QStringLiteral("读入配置、启动备份计划，有托盘时隐藏到托盘。")};
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                            QStringLiteral("显示本帮助。")};
    QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("显示版本。")};

    void addTo(QCommandLineParser& parser) const {
        parser.setApplicationDescription(
            QStringLiteral("Tessivar 文件定时备份。不带参数时打开窗口，以当前文件夹为任务文件夹。\n"
                           "退出码：0 成功，1 备份失败，2 参数错误。"));
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.addOptions({task, backupNow, startPlan, help, version});
    }
};

CommandLine Refused(const QString& why) {
    return {CommandLine::Action::Refused, {}, why};
}

void Print(std::FILE* stream, const QString& text) {
    const QByteArray bytes = (text.endsWith(u'\n') ? text : text + u'\n').toLocal8Bit();
    std::fwrite(bytes.constData(), 1, bytes.size(), stream);
    std::fflush(stream);
}

}  // namespace

CommandLine ParseCommandLine(const QStringList& arguments) {
    const Options options;
    QCommandLineParser parser;
    options.addTo(parser);
    if (!parser.parse(arguments)) {
        return Refused(parser.errorText());
    }
    if (parser.isSet(options.help)) {
        return {CommandLine::Action::Help, {}, {}};
    }
    if (parser.isSet(options.version)) {
        return {CommandLine::Action::Version, {}, {}};
    }
    if (!parser.positionalArguments().isEmpty()) {
        return Refused(QStringLiteral("不认识的参数“%1”！")
                           .arg(parser.positionalArguments().join(QStringLiteral(" "))));
    }
    if (parser.values(options.task).size() > 1) {
        return Refused(QStringLiteral("--task 只能给出一次！"));
    }
    if (parser.isSet(options.backupNow) && parser.isSet(options.startPlan)) {
        return Refused(QStringLiteral("--backup-now 与 --start-plan 不能同时使用！"));
    }
    CommandLine line;
    line.taskFolder = parser.value(options.task);
    if (parser.isSet(options.task) && line.taskFolder.isEmpty()) {
        return Refused(QStringLiteral("--task 需要一个文件夹！"));
    }
    if (parser.isSet(options.backupNow)) {
        line.action = CommandLine::Action::BackupNow;
    } else if (parser.isSet(options.startPlan)) {
        line.action = CommandLine::Action::StartPlan;
    }
    return line;
}

QString HelpText() {
    QCommandLineParser parser;
    Options().addTo(parser);
    QString text = parser.helpText();
    // The usage line names the program as it is called from a launcher or cron.
    const qsizetype end = text.indexOf(u'\n');
    return QStringLiteral("Usage: %1 [options]").arg(kProgramName) + text.mid(end);
}

QString VersionText() {
    return kProgramName + u' ' + QStringLiteral(TESSIVAR_VERSION);
}

bool EnterTaskFolder(const QString& folder) {
    if (folder.isEmpty()) {
        return true;
    }
    if (::chdir(ToFsPath(folder).c_str()) == 0) {
        return true;
    }
    const int failure = errno;
    if (failure == ENOENT) {
        PrintError(QStringLiteral("任务文件夹“%1”不存在！").arg(folder));
    } else if (failure == ENOTDIR) {
        PrintError(QStringLiteral("“%1”不是文件夹！").arg(folder));
    } else {
        PrintError(
            QStringLiteral("无法进入任务文件夹“%1”：%2").arg(folder, SystemErrorText(failure)));
    }
    return false;
}

void PrintError(const QString& text) {
    Print(stderr, text);
}

void PrintOutput(const QString& text) {
    Print(stdout, text);
}

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
            if (!EnterTaskFolder(line.taskFolder)) {
                return kExitBadArguments;
            }
            return BackupNow();
        case CommandLine::Action::Refused:
        case CommandLine::Action::Window:
        case CommandLine::Action::StartPlan:
            break;
    }
    PrintError(line.refusal);
    PrintError(QStringLiteral("用 %1 --help 查看可用的选项。").arg(kProgramName));
    return kExitBadArguments;
}
