#include "app/Console.h"

#include "engine/BackupRun.h"
#include "engine/Verify.h"
#include "platform/Error.h"
#include "platform/Prompts.h"
#include "platform/WorkingFiles.h"

#include <cerrno>
#include <cmath>
#include <cstdio>

#include <unistd.h>

namespace {

// How often the progress line is redrawn.
constexpr int kProgressPeriodMsecs = 250;

void Print(std::FILE* stream, const QString& text) {
    const QByteArray bytes = (text.endsWith(u'\n') ? text : text + u'\n').toLocal8Bit();
    std::fwrite(bytes.constData(), 1, bytes.size(), stream);
    std::fflush(stream);
}

QString StepText(RunReport::Step step) {
    switch (step) {
        case RunReport::Step::Log:
            return QStringLiteral("写入操作日志");
        case RunReport::Step::Catalogue:
            return QStringLiteral("写入备份记录");
        case RunReport::Step::Pruning:
            return QStringLiteral("清理旧备份");
        case RunReport::Step::None:
        case RunReport::Step::Lock:
        case RunReport::Step::Check:
        case RunReport::Step::Copy:
            break;
    }
    return {};
}

}  // namespace

void PrintError(const QString& text) {
    Print(stderr, text);
}

void PrintOutput(const QString& text) {
    Print(stdout, text);
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

int ExitCodeOf(const RunReport& report) {
    if (report.failedStep == RunReport::Step::Lock) {
        return kExitBadArguments;
    }
    if (!report.placed) {
        return kExitRunFailed;
    }
    return report.failure || report.stopped ? kExitPartlyDone : kExitSucceeded;
}

int ExitCodeOf(const VerifyReport& report) {
    if (report.failure) {
        return kExitBadArguments;
    }
    return report.allWhole() ? kExitSucceeded : kExitRunFailed;
}

QStringList ReportLines(const RunReport& report) {
    QStringList lines;
    for (const QString& removed : report.roomMade) {
        lines << RoomMadeLine(removed);
    }
    if (!report.refusal.isEmpty()) {
        lines << report.refusal;
    }
    if (report.backupComplete() && !report.leftOut.empty()) {
        lines << LeftOutNotice(static_cast<int>(report.leftOut.size()));
    }
    lines << report.notDeleted;
    if (report.placed && report.failure) {
        lines << QStringLiteral("已生成备份“%1”，但%2失败：")
                     .arg(report.target, StepText(report.failedStep));
    }
    if (report.failure) {
        lines << WithFullStop(*report.failure);
    }
    if (report.stopped) {
        lines << (report.placed
                      ? QStringLiteral("已生成备份“%1”，清理旧备份时被中止！").arg(report.target)
                      : QStringLiteral("备份已中止，未生成新的备份！"));
    }
    return lines;
}

QString ProgressLine(const RunControl::Progress& progress, double seconds) {
    const double fraction = progress.fraction();
    QString line = QStringLiteral("%1%  %2 / %3  %4 / %5 个文件")
                       .arg(static_cast<int>(std::floor(fraction * 100)), 3)
                       .arg(SizeText(static_cast<double>(progress.bytesDone)),
                            SizeText(static_cast<double>(progress.bytesTotal)))
                       .arg(progress.filesDone)
                       .arg(progress.filesTotal);
    if (seconds > 0.5 && fraction > 0) {
        const double rate = static_cast<double>(progress.bytesDone) / seconds;
        const auto left = static_cast<qint64>(seconds / fraction - seconds);
        line += QStringLiteral("  %1/s  剩余 %2:%3")
                    .arg(SizeText(rate))
                    .arg(left / 60)
                    .arg(left % 60, 2, 10, QLatin1Char('0'));
    }
    return line;
}

ProgressDisplay::ProgressDisplay(std::function<RunControl::Progress()> progress)
    : progress_(std::move(progress)) {
    if (::isatty(STDERR_FILENO) == 1) {
        QObject::connect(&timer_, &QTimer::timeout, [this] { draw(); });
        timer_.start(kProgressPeriodMsecs);
    }
}

void ProgressDisplay::finish() {
    timer_.stop();
    if (drawn_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
}

void ProgressDisplay::startClock() {
    clock_.start();
}

void ProgressDisplay::draw() {
    const RunControl::Progress progress = progress_();
    if (!progress.measured || !clock_.isValid()) {
        return;
    }
    const QByteArray line =
        ProgressLine(progress, static_cast<double>(clock_.elapsed()) / 1000).toLocal8Bit();
    std::fprintf(stderr, "\r%s\033[K", line.constData());
    std::fflush(stderr);
    drawn_ = true;
}
