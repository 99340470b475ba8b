#include "LogTestSupport.h"
#include "MockClock.h"
#include "TaskFolder.h"
#include "TestFiles.h"
#include "log/IoErrorText.h"
#include "log/LogFile.h"
#include "platform/Error.h"

#include <QFile>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

namespace {

const QByteArray kSucceeded = "   \xB3\xC9\xB9\xA6\xB1\xB8\xB7\xDD\xD6\xC1   ";  // 成功备份至
const QDateTime kMorning(QDate(2015, 5, 14), QTime(9, 30, 5));
// The line that kMorning and TwentyFourHourFormat give for the source "/src" and target "/bk".
const QByteArray kLine = "150514 9:30:05   /src" + kSucceeded + "/bk/src_150514\r\n";

void AppendSample() {
    AppendLogLine(QStringLiteral("/src"), QStringLiteral("/bk/src_150514"));
}

// The error text of a call, or a null string when it did not fail.
QString ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const Error& error) {
        return error.message();
    }
    return {};
}

// A clock that moves on by a step every time it is read.
class SteppingClock : public Clock {
public:
    SteppingClock(QDateTime start, qint64 stepMsecs) : now_(std::move(start)), step_(stepMsecs) {
        Clock::setInstance(this);
    }
    ~SteppingClock() override { Clock::setInstance(nullptr); }

protected:
    QDateTime now() const override {
        const QDateTime reading = now_;
        now_ = now_.addMSecs(step_);
        return reading;
    }

private:
    mutable QDateTime now_;
    qint64 step_;
};

// Stand-ins for the write call of the rewrite.
int writesSeen = 0;

ssize_t HalfThenDiskFull(int fd, const void* data, size_t size) {
    if (writesSeen++ == 0) {
        return ::write(fd, data, size / 2);
    }
    errno = ENOSPC;
    return -1;
}

ssize_t FailingWithIoError(int, const void*, size_t) {
    errno = EIO;
    return -1;
}

ssize_t WritingNothing(int, const void*, size_t) {
    return 0;
}

ssize_t OneByteAtATime(int fd, const void* data, size_t size) {
    return ::write(fd, data, size > 0 ? 1 : 0);
}

class ScopedWriteFunction {
public:
    explicit ScopedWriteFunction(LogWriteFunction write) {
        writesSeen = 0;
        SetLogWriteFunction(write);
    }
    ~ScopedWriteFunction() { SetLogWriteFunction(nullptr); }
};

}  // namespace

Q_DECLARE_METATYPE(LogWriteFunction)

class LogFileTest : public QObject {
    Q_OBJECT
private slots:
    void lineLayout_data();
    void lineLayout();
    void dateIsReadBeforeTime();
    void appendTo_data();
    void appendTo();
    void twoAppendsInOneSecond();
    void appendKeepsPermissionBits();
    void appendWritingInSmallPieces();
    void appendWithoutLogFolder();
    void failedWriteLeavesOldLog_data();
    void failedWriteLeavesOldLog();
    void failedRenameLeavesLogInPlace();
    void unreadableLogStopsAppend();
    void folderRefusingTemporaryLeavesOldLog();
    void appendThroughSymbolicLinkKeepsLink();
    void readOnlyLogRefusesEnsure();
    void ensureLogFile_data();
    void ensureLogFile();
    void clearLog_data();
    void clearLog();
    void ensureAndClearErrors_data();
    void ensureAndClearErrors();
    void readLog();
    void readMissingLog();
    void ioErrorText_data();
    void ioErrorText();
};

void LogFileTest::lineLayout_data() {
    QTest::addColumn<bool>("twelveHour");
    QTest::addColumn<bool>("leadingZero");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("24-hour, no leading zero")
        << false << false << kMorning << "/home/u/work reports"
        << "/bk/work reports_150514"
        << "150514 9:30:05   /home/u/work reports" + kSucceeded + "/bk/work reports_150514\r\n";
    QTest::newRow("24-hour, afternoon")
        << false << false << QDateTime(QDate(2026, 12, 7), QTime(17, 0, 0)) << "/a"
        << "/b/a_261207"
        << "261207 17:00:00   /a" + kSucceeded + "/b/a_261207\r\n";
    QTest::newRow("12-hour, designator after")
        << true << false << QDateTime(QDate(2015, 5, 14), QTime(21, 30, 5)) << "/src"
        << "/bk"
        << "150514 9:30:05 PM   /src" + kSucceeded + "/bk\r\n";
    QTest::newRow("12-hour, leading zero, noon")
        << true << true << QDateTime(QDate(2015, 1, 2), QTime(12, 5, 9)) << "/src"
        << "/bk"
        << "150102 12:05:09 PM   /src" + kSucceeded + "/bk\r\n";
    QTest::newRow("12-hour, midnight")
        << true << false << QDateTime(QDate(2015, 1, 2), QTime(0, 0, 1)) << "/src"
        << "/bk"
        << "150102 12:00:01 AM   /src" + kSucceeded + "/bk\r\n";
    QTest::newRow("GBK and non-GBK path characters")
        << false << false << kMorning << "/数据/报告" << QString::fromUtf8("/bk/\xF0\x9F\x98\x80")
        << "150514 9:30:05   /\xCA\xFD\xBE\xDD/\xB1\xA8\xB8\xE6" + kSucceeded +
               "/bk/\x94\x39\xFC\x36\r\n";
    QTest::newRow("blanks around the paths are kept")
        << false << false << kMorning << " /src "
        << " /bk "
        << "150514 9:30:05    /src " + kSucceeded + " /bk \r\n";
}

void LogFileTest::lineLayout() {
    QFETCH(bool, twelveHour);
    QFETCH(bool, leadingZero);
    QFETCH(QDateTime, now);
    QFETCH(QString, source);
    QFETCH(QString, target);
    QFETCH(QByteArray, line);
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    TimeFormat format = twelveHour ? TwelveHourFormat(leadingZero) : TwentyFourHourFormat();
    format.leadingZero = leadingZero;
    const ScopedTimeFormat regional(format);
    const MockClock clock(now);

    AppendLogLine(source, target);

    QCOMPARE(ReadBytes(WorkingFiles::kLog), line);
}

void LogFileTest::dateIsReadBeforeTime() {
    const ScopedTimeFormat regional(TwentyFourHourFormat());
    const SteppingClock clock(QDateTime(QDate(2015, 5, 14), QTime(23, 59, 59, 999)), 1);
    QCOMPARE(ComposeLogLine(QStringLiteral("/a"), QStringLiteral("/b")),
             "150514 0:00:00   /a" + kSucceeded + "/b\r\n");
}

void LogFileTest::appendTo_data() {
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("no file") << false << QByteArray() << kLine;
    QTest::newRow("empty file") << true << QByteArray() << kLine;
    QTest::newRow("CR LF lines") << true << QByteArray("a\r\nb\r\n") << "a\r\nb\r\n" + kLine;
    QTest::newRow("no final line break") << true << QByteArray("a\r\nb") << "a\r\nb\r\n" + kLine;
    QTest::newRow("LF-only breaks") << true << QByteArray("a\nb\n") << "a\r\nb\r\n" + kLine;
    QTest::newRow("CR-only breaks") << true << QByteArray("a\rb\r") << "a\r\nb\r\n" + kLine;
    QTest::newRow("empty lines survive")
        << true << QByteArray("a\r\n\r\n\nb\n") << "a\r\n\r\n\r\nb\r\n" + kLine;
    QTest::newRow("CR CR LF is two breaks")
        << true << QByteArray("a\r\r\nb") << "a\r\n\r\nb\r\n" + kLine;
    QTest::newRow("LF CR is two breaks")
        << true << QByteArray("a\n\rb") << "a\r\n\r\nb\r\n" + kLine;
    QTest::newRow("lone CR before a final CR LF")
        << true << QByteArray("a\r\r\n") << "a\r\n\r\n" + kLine;
    QTest::newRow("lone LF before a final CR LF")
        << true << QByteArray("a\n\r\n") << "a\r\n\r\n" + kLine;
    QTest::newRow("LF first") << true << QByteArray("\na\r\n") << "\r\na\r\n" + kLine;
    QTest::newRow("only a break") << true << QByteArray("\r\n") << "\r\n" + kLine;
    QTest::newRow("bytes that are not GB18030")
        << true << QByteArray("\xFF\xFE\x80 x\r\n\x81\r\n\xB3\n")
        << "\xFF\xFE\x80 x\r\n\x81\r\n\xB3\r\n" + kLine;
    QTest::newRow("UTF-8 text is kept as it is") << true << QByteArray("\xE6\x95\xB0\xE6\x8D\xAE\n")
                                                 << "\xE6\x95\xB0\xE6\x8D\xAE\r\n" + kLine;
    QTest::newRow("NUL ends the content")
        << true << QByteArray("a\r\nb\0c\r\nd", 9) << "a\r\nb\r\n" + kLine;
    QTest::newRow("NUL after a break") << true << QByteArray("a\r\n\0c", 5) << "a\r\n" + kLine;
    QTest::newRow("NUL first") << true << QByteArray("\0abc\r\n", 6) << kLine;
}

void LogFileTest::appendTo() {
    QFETCH(bool, exists);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    if (exists) {
        QVERIFY(WriteBytes(WorkingFiles::kLog, before));
    }
    const ScopedTimeFormat regional(TwentyFourHourFormat());
    const MockClock clock(kMorning);

    AppendSample();

    QCOMPARE(ReadBytes(WorkingFiles::kLog), after);
    QCOMPARE(LogFolderEntries(), QStringList{QStringLiteral("FileBackupLog.log")});
}

void LogFileTest::twoAppendsInOneSecond() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    const ScopedTimeFormat regional(TwentyFourHourFormat());
    const MockClock clock(kMorning);

    AppendLogLine(QStringLiteral("/first"), QStringLiteral("/bk/first_150514"));
    AppendLogLine(QStringLiteral("/second"), QStringLiteral("/bk/second_150514"));

    QCOMPARE(ReadBytes(WorkingFiles::kLog),
             "150514 9:30:05   /first" + kSucceeded + "/bk/first_150514\r\n" +
                 "150514 9:30:05   /second" + kSucceeded + "/bk/second_150514\r\n");
}

void LogFileTest::appendKeepsPermissionBits() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    QVERIFY(WriteBytes(WorkingFiles::kLog, "a\r\n"));
    QCOMPARE(::chmod(QFile::encodeName(WorkingFiles::kLog).constData(), 0640), 0);
    const MockClock clock(kMorning);

    AppendSample();

    struct stat status {};
    QCOMPARE(::stat(QFile::encodeName(WorkingFiles::kLog).constData(), &status), 0);
    QCOMPARE(status.st_mode & 07777, mode_t{0640});
}

void LogFileTest::appendWritingInSmallPieces() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    QVERIFY(WriteBytes(WorkingFiles::kLog, "a\nb"));
    const ScopedTimeFormat regional(TwentyFourHourFormat());
    const MockClock clock(kMorning);
    const ScopedWriteFunction oneByte(&OneByteAtATime);

    AppendSample();

    QCOMPARE(ReadBytes(WorkingFiles::kLog), "a\r\nb\r\n" + kLine);
}

void LogFileTest::appendWithoutLogFolder() {
    TaskFolder task;
    const MockClock clock(kMorning);

    QCOMPARE(
        ErrorOf(AppendSample),
        QStringLiteral("Cannot create file \"%1\". No such file or directory").arg(FullLogPath()));
    QVERIFY(!QFileInfo::exists(WorkingFiles::kLogFolder));
}

void LogFileTest::failedWriteLeavesOldLog_data() {
    QTest::addColumn<LogWriteFunction>("write");
    QTest::newRow("disk fills up midway") << LogWriteFunction(&HalfThenDiskFull);
    QTest::newRow("write fails at once") << LogWriteFunction(&FailingWithIoError);
    QTest::newRow("write takes nothing") << LogWriteFunction(&WritingNothing);
}

void LogFileTest::failedWriteLeavesOldLog() {
    QFETCH(LogWriteFunction, write);
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    const QByteArray old = QByteArray("first\nsecond\r\n\xFF third");
    QVERIFY(WriteBytes(WorkingFiles::kLog, old));
    const MockClock clock(kMorning);
    const ScopedWriteFunction failing(write);

    QCOMPARE(ErrorOf(AppendSample), QStringLiteral("Stream write error"));

    QCOMPARE(ReadBytes(WorkingFiles::kLog), old);
    QCOMPARE(LogFolderEntries(), QStringList{QStringLiteral("FileBackupLog.log")});
}

void LogFileTest::failedRenameLeavesLogInPlace() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    // A folder by the log's name counts as no log, and a file cannot replace it.
    QVERIFY(QDir().mkpath(WorkingFiles::kLog + QStringLiteral("/inside")));
    const MockClock clock(kMorning);

    const QString error = ErrorOf(AppendSample);

    QVERIFY2(error.startsWith(QStringLiteral("Cannot create file \"%1\". ").arg(FullLogPath())),
             qPrintable(error));
    QVERIFY(QFileInfo(WorkingFiles::kLog + QStringLiteral("/inside")).isDir());
    QCOMPARE(LogFolderEntries(), QStringList{QStringLiteral("FileBackupLog.log")});
}

void LogFileTest::unreadableLogStopsAppend() {
    if (::geteuid() == 0) {
        QSKIP("permission bits do not stop root");
    }
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    QVERIFY(WriteBytes(WorkingFiles::kLog, "old\r\n"));
    QCOMPARE(::chmod(QFile::encodeName(WorkingFiles::kLog).constData(), 0200), 0);
    const MockClock clock(kMorning);

    QCOMPARE(ErrorOf(AppendSample),
             QStringLiteral("Cannot open file \"%1\". Permission denied").arg(FullLogPath()));
    QCOMPARE(::chmod(QFile::encodeName(WorkingFiles::kLog).constData(), 0600), 0);
    QCOMPARE(ReadBytes(WorkingFiles::kLog), QByteArray("old\r\n"));
}

void LogFileTest::folderRefusingTemporaryLeavesOldLog() {
    if (::geteuid() == 0) {
        QSKIP("permission bits do not stop root");
    }
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    QVERIFY(WriteBytes(WorkingFiles::kLog, "old\n"));
    QCOMPARE(::chmod(QFile::encodeName(WorkingFiles::kLogFolder).constData(), 0555), 0);
    const MockClock clock(kMorning);

    const QString error = ErrorOf(AppendSample);

    QCOMPARE(::chmod(QFile::encodeName(WorkingFiles::kLogFolder).constData(), 0755), 0);
    QCOMPARE(error,
             QStringLiteral("Cannot create file \"%1\". Permission denied").arg(FullLogPath()));
    QCOMPARE(ReadBytes(WorkingFiles::kLog), QByteArray("old\n"));
    QCOMPARE(LogFolderEntries(), QStringList{QStringLiteral("FileBackupLog.log")});
}

void LogFileTest::appendThroughSymbolicLinkKeepsLink() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    QVERIFY(QDir().mkdir(QStringLiteral("elsewhere")));
    QVERIFY(WriteBytes(QStringLiteral("elsewhere/kept.log"), "old\n"));
    QVERIFY(QFile::link(QStringLiteral("../elsewhere/kept.log"), WorkingFiles::kLog));
    const ScopedTimeFormat regional(TwentyFourHourFormat());
    const MockClock clock(kMorning);

    AppendSample();

    QVERIFY(QFileInfo(WorkingFiles::kLog).isSymLink());
    QCOMPARE(ReadBytes(QStringLiteral("elsewhere/kept.log")), "old\r\n" + kLine);
    QCOMPARE(QDir(QStringLiteral("elsewhere")).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("kept.log")});
}

void LogFileTest::readOnlyLogRefusesEnsure() {
    if (::geteuid() == 0) {
        QSKIP("permission bits do not stop root");
    }
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    QVERIFY(WriteBytes(WorkingFiles::kLog, "old\n"));
    QCOMPARE(::chmod(QFile::encodeName(WorkingFiles::kLog).constData(), 0444), 0);

    QCOMPARE(ErrorOf(EnsureLogFile), QStringLiteral("File access denied"));
    QCOMPARE(ErrorOf(ClearLog), QStringLiteral("File access denied"));
    QCOMPARE(ReadBytes(WorkingFiles::kLog), QByteArray("old\n"));
}

void LogFileTest::ensureLogFile_data() {
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("before");
    QTest::newRow("missing file") << false << QByteArray();
    QTest::newRow("empty file") << true << QByteArray();
    QTest::newRow("content without final break, odd bytes")
        << true << QByteArray("a\nb\r\xFF\x00z", 7);
}

void LogFileTest::ensureLogFile() {
    QFETCH(bool, exists);
    QFETCH(QByteArray, before);
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    if (exists) {
        QVERIFY(WriteBytes(WorkingFiles::kLog, before));
    }

    EnsureLogFile();

    QVERIFY(QFileInfo(WorkingFiles::kLog).isFile());
    QCOMPARE(ReadBytes(WorkingFiles::kLog), before);
}

void LogFileTest::clearLog_data() {
    QTest::addColumn<bool>("exists");
    QTest::newRow("log with entries") << true;
    QTest::newRow("no log yet") << false;
}

void LogFileTest::clearLog() {
    QFETCH(bool, exists);
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    if (exists) {
        QVERIFY(WriteBytes(WorkingFiles::kLog, kLine + kLine));
        QCOMPARE(::chmod(QFile::encodeName(WorkingFiles::kLog).constData(), 0604), 0);
    }

    ClearLog();

    QVERIFY(QFileInfo(WorkingFiles::kLog).isFile());
    QCOMPARE(QFileInfo(WorkingFiles::kLog).size(), 0);
    if (exists) {
        struct stat status {};
        QCOMPARE(::stat(QFile::encodeName(WorkingFiles::kLog).constData(), &status), 0);
        QCOMPARE(status.st_mode & 07777, mode_t{0604});
    }
}

void LogFileTest::ensureAndClearErrors_data() {
    QTest::addColumn<bool>("clear");
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QString>("error");
    for (const bool clear : {false, true}) {
        const char* name = clear ? "ClearLog" : "EnsureLogFile";
        QTest::addRow("%s, no Log folder", name) << clear << "none"
                                                 << "Invalid filename";
        QTest::addRow("%s, Log is a file", name) << clear << "file"
                                                 << "Invalid filename";
        QTest::addRow("%s, log is a folder", name) << clear << "folder"
                                                   << "File access denied";
    }
}

void LogFileTest::ensureAndClearErrors() {
    QFETCH(bool, clear);
    QFETCH(QString, layout);
    QFETCH(QString, error);
    TaskFolder task;
    if (layout == u"file") {
        QVERIFY(WriteBytes(WorkingFiles::kLogFolder, "not a folder"));
    } else if (layout == u"folder") {
        QVERIFY(QDir().mkpath(WorkingFiles::kLog));
    }

    QCOMPARE(ErrorOf(clear ? ClearLog : EnsureLogFile), error);

    if (layout == u"file") {
        QCOMPARE(ReadBytes(WorkingFiles::kLogFolder), QByteArray("not a folder"));
    } else if (layout == u"none") {
        QVERIFY(!QFileInfo::exists(WorkingFiles::kLogFolder));
    }
}

void LogFileTest::readLog() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    QVERIFY(WriteBytes(WorkingFiles::kLog, "\xCA\xFD\xBE\xDD\r\n\xFF"));
    QCOMPARE(ReadLog(), QString::fromUtf8("数据\r\n\xEF\xBF\xBD"));
    QCOMPARE(ReadLogBytes(), QByteArray("\xCA\xFD\xBE\xDD\r\n\xFF"));
}

void LogFileTest::readMissingLog() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    QCOMPARE(
        ErrorOf([] { ReadLog(); }),
        QStringLiteral("Cannot open file \"%1\". No such file or directory").arg(FullLogPath()));
}

void LogFileTest::ioErrorText_data() {
    QTest::addColumn<int>("errnoValue");
    QTest::addColumn<bool>("folderMissing");
    QTest::addColumn<QString>("text");
    QTest::newRow("missing file") << ENOENT << false << "File not found";
    QTest::newRow("missing folder") << ENOENT << true << "Invalid filename";
    QTest::newRow("folder is a file") << ENOTDIR << true << "Invalid filename";
    QTest::newRow("too many open") << EMFILE << false << "Too many open files";
    QTest::newRow("access") << EACCES << false << "File access denied";
    QTest::newRow("not permitted") << EPERM << false << "File access denied";
    QTest::newRow("read-only medium") << EROFS << false << "File access denied";
    QTest::newRow("disk full") << ENOSPC << false << "Disk full";
    // errno 5 is not the code 5 of "File access denied".
    QTest::newRow("hardware error") << EIO << false << "I/O error 5";
    QTest::newRow("busy") << EBUSY << false << "I/O error 16";
}

void LogFileTest::ioErrorText() {
    QFETCH(int, errnoValue);
    QFETCH(bool, folderMissing);
    QFETCH(QString, text);
    QCOMPARE(IoErrorText(errnoValue, folderMissing), text);
}

QTEST_GUILESS_MAIN(LogFileTest)
#include "tst_LogFile.moc"
