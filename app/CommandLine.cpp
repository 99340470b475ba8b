#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QDir>
#include <QRegularExpression>

namespace {

struct Options {
    QCommandLineOption task{QStringLiteral("task"),
                            QStringLiteral("以 DIR 为任务文件夹，如同在该文件夹中启动。"),
                            QStringLiteral("DIR")};
    QCommandLineOption backupNow{
        QStringLiteral("backup-now"),
        QStringLiteral("不开窗口，按 config.ini 执行一次备份（之后按备份个数清理旧备份）。")};
    QCommandLineOption verify{
        QStringLiteral("verify"),
        QStringLiteral("不开窗口，按每份备份旁的校验清单（<备份>.sha256）检查本任务记录的全部备份；"
                       "--verify=PATH 只检查 PATH 处的一份。不修改任何文件。")};
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
                           "  3 已生成备份，但写入操作日志、备份记录或清理旧备份失败或被中止\n"
                           "--verify 的退出码：\n"
                           "  0 检查的备份全部完好\n"
                           "  1 有备份损坏、缺失或未能检查（磁盘未连接），或校验被中止\n"
                           "  2 参数错误，或任务文件夹无法使用（没有备份记录、无法加锁）"));
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.addOptions({task, backupNow, verify, startPlan, help, version});
    }
};

CommandLine Refused(const QString& why) {
    return {CommandLine::Action::Refused, {}, {}, why};
}

// Takes "--verify=PATH" out of the arguments (the parser knows --verify as a switch only):
// the paths given that way.
QStringList TakeVerifyPaths(QStringList& arguments) {
    static const QRegularExpression kVerifyPath(QStringLiteral("^--?verify=(.*)$"),
                                                QRegularExpression::DotMatchesEverythingOption);
    QStringList paths;
    for (qsizetype i = arguments.size() - 1; i >= 1; --i) {
        if (arguments[i] == u"--") {
            paths.clear();  // what follows "--" is no option
        } else if (const QRegularExpressionMatch match = kVerifyPath.match(arguments[i]);
                   match.hasMatch()) {
            paths.prepend(match.captured(1));
            arguments.removeAt(i);
        }
    }
    return paths;
}

}  // namespace

CommandLine ParseCommandLine(QStringList arguments) {
    const QStringList verifyPaths = TakeVerifyPaths(arguments);
    const Options options;
    QCommandLineParser parser;
    options.addTo(parser);
    if (!parser.parse(arguments)) {
        return Refused(parser.errorText());
    }
    if (parser.isSet(options.help)) {
        return {CommandLine::Action::Help, {}, {}, {}};
    }
    if (parser.isSet(options.version)) {
        return {CommandLine::Action::Version, {}, {}, {}};
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
    const int verifies =
        static_cast<int>(verifyPaths.size()) + (parser.isSet(options.verify) ? 1 : 0);
    if (verifies > 1) {
        return Refused(QStringLiteral("--verify 只能给出一次！"));
    }
    if (verifies == 1 && (parser.isSet(options.backupNow) || parser.isSet(options.startPlan))) {
        return Refused(QStringLiteral("--verify 不能与 --backup-now 或 --start-plan 同时使用！"));
    }
    if (!verifyPaths.isEmpty() && verifyPaths.front().isEmpty()) {
        return Refused(QStringLiteral("--verify= 需要一份备份的路径！"));
    }
    CommandLine line;
    line.taskFolder = parser.value(options.task);
    if (parser.isSet(options.task) && line.taskFolder.isEmpty()) {
        return Refused(QStringLiteral("--task 需要一个文件夹！"));
    }
    if (verifies == 1) {
        line.action = CommandLine::Action::Verify;
        // Relative to the folder the program was started in, not to the task folder.
        if (!verifyPaths.isEmpty()) {
            line.verifyCopy =
                QDir::cleanPath(QDir::current().absoluteFilePath(verifyPaths.front()));
        }
    } else if (parser.isSet(options.backupNow)) {
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
