#include "FileAttributes.h"
#include "TaskFolder.h"
#include "TestFiles.h"
#include "platform/Error.h"
#include "platform/WorkingFiles.h"
#include "settings/ProfileFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTest>

namespace {

const QString kSection = QStringLiteral("备份设置");
const QString kKey = QStringLiteral("备份个数");
const QByteArray kGbkFile(
    "[\xB1\xB8\xB7\xDD\xC9\xE8\xD6\xC3]\r\n\xB1\xB8\xB7\xDD\xB8\xF6\xCA\xFD=5\r\n");

QStringList FolderEntries() {
    return QDir::current().entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                     QDir::NoDotAndDotDot);
}

mode_t ModeOf(const QString& path) {
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777 : 0;
}

}  // namespace

class ProfileFileTest : public QObject {
    Q_OBJECT
private slots:
    void missingFileReadsEmpty();
    void writeCreatesTheFile();
    void newFileFollowsTheUmask();
    void writeKeepsPermissionBits();
    void refusedWritesLeaveTheFile_data();
    void refusedWritesLeaveTheFile();
    void unwritableFolder();
    void folderNamedLikeTheFile();
    void valuesThatCannotReadBackAreRefused_data();
    void valuesThatCannotReadBackAreRefused();
    void symbolicLinkStays();
    void unreadableBytesOfOtherLinesSurvive();
};

void ProfileFileTest::missingFileReadsEmpty() {
    TaskFolder folder;
    QCOMPARE(ProfileFile(WorkingFiles::kConfig).ReadString(kSection, kKey), QString());
    QVERIFY(!QFile::exists(WorkingFiles::kConfig));
}

void ProfileFileTest::writeCreatesTheFile() {
    TaskFolder folder;
    ProfileFile file(WorkingFiles::kConfig);
    file.WriteString(kSection, kKey, QStringLiteral("5"));
    QCOMPARE(ReadBytes(WorkingFiles::kConfig), kGbkFile);
    QCOMPARE(file.ReadString(kSection, kKey), QStringLiteral("5"));
    QCOMPARE(FolderEntries(), QStringList{QStringLiteral("config.ini")});
}

void ProfileFileTest::newFileFollowsTheUmask() {
    TaskFolder folder;
    const mode_t previous = ::umask(027);
    ProfileFile(WorkingFiles::kConfig).WriteString(kSection, kKey, QStringLiteral("5"));
    ::umask(previous);
    QCOMPARE(ModeOf(WorkingFiles::kConfig), mode_t(0640));
}

void ProfileFileTest::writeKeepsPermissionBits() {
    TaskFolder folder;
    QVERIFY(WriteBytes(WorkingFiles::kConfig, kGbkFile));
    QCOMPARE(::chmod("config.ini", 0604), 0);
    ProfileFile(WorkingFiles::kConfig).WriteString(kSection, kKey, QStringLiteral("7"));
    QCOMPARE(ModeOf(WorkingFiles::kConfig), mode_t(0604));
    QVERIFY(ReadBytes(WorkingFiles::kConfig).endsWith("=7\r\n"));
}

void ProfileFileTest::refusedWritesLeaveTheFile_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("read-only bits") << "mode 0444";
    QTest::newRow("immutable") << "chattr +i";
    QTest::newRow("file size limit") << "RLIMIT_FSIZE";
}

void ProfileFileTest::refusedWritesLeaveTheFile() {
    QFETCH(QString, how);
    TaskFolder folder;
    QVERIFY(WriteBytes(WorkingFiles::kConfig, kGbkFile));
    std::optional<Immutable> immutable;
    std::optional<FileSizeLimit> limit;
    if (how == "mode 0444") {
        QCOMPARE(::chmod("config.ini", 0444), 0);
    } else if (how == "chattr +i") {
        immutable.emplace(WorkingFiles::kConfig);
        if (!immutable->isSet()) {
            QSKIP("chattr +i needs root on a file system with attributes");
        }
    } else {
        limit.emplace(kGbkFile.size() + 2);
    }
    ProfileFile file(WorkingFiles::kConfig);
    QVERIFY_THROWS_EXCEPTION(Error, file.WriteString(kSection, kKey, QStringLiteral("12345")));
    limit.reset();
    immutable.reset();
    QCOMPARE(ReadBytes(WorkingFiles::kConfig), kGbkFile);
    QCOMPARE(FolderEntries(), QStringList{QStringLiteral("config.ini")});
}

void ProfileFileTest::unwritableFolder() {
    TaskFolder folder;
    const QByteArray path = QFile::encodeName(folder.path());
    std::optional<Immutable> immutable;
    if (::geteuid() == 0) {
        immutable.emplace(folder.path());
        if (!immutable->isSet()) {
            QSKIP("root ignores folder permissions and chattr +i is not available here");
        }
    } else {
        QCOMPARE(::chmod(path.constData(), 0555), 0);
    }
    ProfileFile file(WorkingFiles::kConfig);
    QVERIFY_THROWS_EXCEPTION(Error, file.WriteString(kSection, kKey, QStringLiteral("5")));
    immutable.reset();
    ::chmod(path.constData(), 0700);
    QVERIFY(FolderEntries().isEmpty());
}

void ProfileFileTest::folderNamedLikeTheFile() {
    TaskFolder folder;
    QVERIFY(QDir().mkdir(QStringLiteral("config.ini")));
    ProfileFile file(WorkingFiles::kConfig);
    QCOMPARE(file.ReadString(kSection, kKey), QString());
    QVERIFY_THROWS_EXCEPTION(Error, file.WriteString(kSection, kKey, QStringLiteral("5")));
    QVERIFY(QFileInfo(WorkingFiles::kConfig).isDir());
}

void ProfileFileTest::valuesThatCannotReadBackAreRefused_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("writable");
    QTest::newRow("LF") << "/home/a\nb" << false;
    QTest::newRow("CR") << "/home/a\rb" << false;
    QTest::newRow("CR LF") << "/home/a\r\n[x]" << false;
    // In GB18030 bytes: a read gives back 2047 at most.
    QTest::newRow("2047 bytes") << u'/' + QString(1000, QChar(u'资')) + QString(46, u'p') << true;
    QTest::newRow("2048 bytes") << u'/' + QString(1000, QChar(u'资')) + QString(47, u'p') << false;
}

void ProfileFileTest::valuesThatCannotReadBackAreRefused() {
    QFETCH(QString, value);
    QFETCH(bool, writable);
    TaskFolder folder;
    QVERIFY(WriteBytes(WorkingFiles::kConfig, kGbkFile));
    ProfileFile file(WorkingFiles::kConfig);
    QCOMPARE(ProfileFile::Writable(value), writable);
    if (writable) {
        file.WriteString(kSection, kKey, value);
        QCOMPARE(file.ReadString(kSection, kKey), value);
    } else {
        QVERIFY_THROWS_EXCEPTION(Error, file.WriteString(kSection, kKey, value));
        QCOMPARE(ReadBytes(WorkingFiles::kConfig), kGbkFile);
    }
}

void ProfileFileTest::symbolicLinkStays() {
    TaskFolder folder;
    QVERIFY(WriteBytes(QStringLiteral("real.ini"), kGbkFile));
    QVERIFY(QFile::link(QStringLiteral("real.ini"), WorkingFiles::kConfig));
    ProfileFile(WorkingFiles::kConfig).WriteString(kSection, kKey, QStringLiteral("9"));
    QVERIFY(QFileInfo(WorkingFiles::kConfig).isSymLink());
    QVERIFY(ReadBytes(QStringLiteral("real.ini")).endsWith("=9\r\n"));
}

void ProfileFileTest::unreadableBytesOfOtherLinesSurvive() {
    TaskFolder folder;
    const QByteArray odd("x=\xFF\x80\xFE\r\n");
    QVERIFY(WriteBytes(WorkingFiles::kConfig, odd + kGbkFile + odd));
    ProfileFile(WorkingFiles::kConfig).WriteString(kSection, kKey, QStringLiteral("6"));
    QCOMPARE(ReadBytes(WorkingFiles::kConfig),
             odd + QByteArray(kGbkFile).replace("=5", "=6") + odd);
}

QTEST_GUILESS_MAIN(ProfileFileTest)
#include "tst_ProfileFile.moc"
