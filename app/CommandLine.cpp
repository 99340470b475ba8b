#include "app/CommandLine.h"

#include <QCommandLineParser>

namespace {

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
                           "--backup-now 的退出码：\n"
                           "  0 已备份、记录，并按备份个数清理完毕\n"
                           "  1 未生成新的备份（被拒绝、失败或中止）\n"
                           "  2 参数错误，或任务文件夹无法使用\n"
                           "  3 已生成备份，但写入操作日志、备份记录或清理旧备份失败或被中止"));
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.addOptions({task, backupNow, startPlan, help, version});
    }
};

CommandLine Refused(const QString& why) {
    return {CommandLine::Action::Refused, {}, why};
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
