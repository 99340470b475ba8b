#include "TaskFolder.h"
#include "TreeTools.h"
#include "platform/Error.h"
#include "platform/TreeCopy.h"
#include "platform/TreeRemove.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>
#include <atomic>
#include <filesystem>
#include <map>

#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

using namespace TreeTools;

class TreeCopyTest : public QObject {
    Q_OBJECT
private slots:
    void keepsContentModesTimesAndLinks();
    void hostileTreeCopiesAsIsAndQuickly();
    void manyFilesOverWorkers_data();
    void manyFilesOverWorkers();
    void sparseFileKeepsHoles();
    void acrossFileSystems();
    void singleFile();
    void entriesOfEveryKind_data();
    void entriesOfEveryKind();
    void sourceLinkIsFollowedOnlyAtTheTop();
    void failureMidwayLeavesNothing_data();
    void failureMidwayLeavesNothing();
    void fileTooLargeIsLeftOutWithAllItsNames_data();
    void fileTooLargeIsLeftOutWithAllItsNames();
    void existingTargetIsRefused();
    void removeTreeNeverFollowsLinks();
};

namespace {

std::string Root(const TaskFolder& task) {
    return task.path().toStdString();
}

// Folders with their own modes and times, files of several sizes, hard links across
// folders, and links of every kind.
void BuildRichTree(const std::string& s) {
    QVERIFY(Folder(s, 0750));
    QVERIFY(Folder(s + "/sub", 0700));
    QVERIFY(Folder(s + "/sub/deeper", 0755));
    QVERIFY(Folder(s + "/readonly", 0755));
    QVERIFY(Put(s + "/empty", ""));
    QVERIFY(Put(s + "/script.sh", "#!/bin/sh\necho hi\n", 0755));
    QVERIFY(Put(s + "/private", "secret", 0600));
    QVERIFY(Put(s + "/readonly/frozen", "ice", 0444));
    QVERIFY(Put(s + "/sub/big", QByteArray(3 * 1024 * 1024 + 17, 'b'), 0640));
    QVERIFY(Put(s + "/sub/deeper/leaf", "leaf"));
    QVERIFY(::link((s + "/sub/deeper/leaf").c_str(), (s + "/hard-leaf").c_str()) == 0);
    QVERIFY(::link((s + "/sub/deeper/leaf").c_str(), (s + "/sub/hard-leaf-2").c_str()) == 0);
    QVERIFY(::symlink("sub/deeper/leaf", (s + "/relative-link").c_str()) == 0);
    QVERIFY(::symlink("/etc", (s + "/outside").c_str()) == 0);
    QVERIFY(::symlink("nowhere", (s + "/dangling").c_str()) == 0);
    QVERIFY(::linkat(AT_FDCWD, (s + "/dangling").c_str(), AT_FDCWD, (s + "/sub/dangling-2").c_str(),
                     0) == 0);
    QVERIFY(Age(s + "/sub/big", 1000000000, 123456789));
    QVERIFY(Age(s + "/relative-link", 1100000000, 5));
    QVERIFY(::chmod((s + "/readonly").c_str(), 0555) == 0);
    // Folder times last: writing inside a folder moves its time.
    QVERIFY(Age(s + "/readonly", 1200000000, 1));
    QVERIFY(Age(s + "/sub/deeper", 1300000000, 2));
    QVERIFY(Age(s + "/sub", 1400000000, 3));
    QVERIFY(Age(s, 1500000000, 4));
}

bool MakeSocket(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

void BuildManyFiles(const std::string& s, int folders, int filesPerFolder) {
    QVERIFY(Folder(s));
    QVERIFY(Put(s + "/shared", "one inode, many names"));
    for (int f = 0; f < folders; ++f) {
        const std::string folder = s + "/d" + std::to_string(f);
        QVERIFY(Folder(folder));
        for (int i = 0; i < filesPerFolder; ++i) {
            QVERIFY(Put(folder + "/f" + std::to_string(i), QByteArray::number(f * 1000 + i)));
        }
        QVERIFY(::link((s + "/shared").c_str(), (folder + "/shared").c_str()) == 0);
        QVERIFY(Age(folder, 1600000000 + f));
    }
}

// Copies with digests, which must name every regular file of the copy once, each with the
// SHA-256 of what the copy holds (or, sharing the source's data, none yet).
void CopyHashed(const std::string& source, const std::string& copy, int workers = 0) {
    std::vector<CopiedDigest> digests;
    CopyTree(source, copy, workers, nullptr, &digests);
    std::map<std::string, QByteArray> listed;
    for (const CopiedDigest& file : digests) {
        const std::string digest = file.shared ? "shared" : HexDigest(file.digest);
        QVERIFY2(listed.emplace(file.path, QByteArray::fromStdString(digest)).second,
                 file.path.c_str());
    }
    std::map<std::string, QByteArray> held;
    const auto hash = [&](const std::string& relative, const std::string& path) {
        held[relative] =
            listed[relative] == "shared"
                ? QByteArray("shared")
                : QCryptographicHash::hash(Content(path), QCryptographicHash::Sha256).toHex();
    };
    namespace fs = std::filesystem;
    if (fs::is_regular_file(copy)) {
        hash("", copy);
    } else {
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(copy)) {
            if (fs::is_regular_file(entry.symlink_status())) {
                hash(entry.path().native().substr(copy.size() + 1), entry.path().native());
            }
        }
    }
    QVERIFY(listed == held);
}

}  // namespace

void TreeCopyTest::keepsContentModesTimesAndLinks() {
    TaskFolder task;
    const std::string s = Root(task) + "/source";
    BuildRichTree(s);
    CopyHashed(s, Root(task) + "/copy");
    QCOMPARE(Describe(Root(task) + "/copy"), Describe(s));
}

void TreeCopyTest::hostileTreeCopiesAsIsAndQuickly() {
    TaskFolder task;
    const RemovedOnExit cleanup{Root(task)};
    const std::string s = Root(task) + "/source";
    QVERIFY(Folder(s));
    QVERIFY(Folder(s + "/inner"));
    QVERIFY(::symlink("loop-b", (s + "/loop-a").c_str()) == 0);
    QVERIFY(::symlink("loop-a", (s + "/loop-b").c_str()) == 0);
    QVERIFY(::symlink("..", (s + "/inner/up").c_str()) == 0);
    QVERIFY(::symlink("/", (s + "/to-root").c_str()) == 0);
    QVERIFY(Put(s + "/\xff\xfe-not-utf8-\xe5\xa4", "raw name"));
    QVERIFY(Folder(s + "/dir-\x80\x81"));
    QVERIFY(Put(s + "/dir-\x80\x81/inside", "x"));
    QVERIFY(Put(s + "/line\nbreak\\back\rslash", "odd"));
    QVERIFY(::mkfifo((s + "/fifo").c_str(), 0644) == 0);
    QVERIFY(::mkfifo((s + "/inner/fifo2").c_str(), 0600) == 0);
    QVERIFY(MakeSocket(s + "/socket"));

    QElapsedTimer timer;
    timer.start();
    CopyHashed(s, Root(task) + "/copy");
    QVERIFY2(timer.elapsed() < 5000, "a link was followed or a FIFO was opened");

    const QStringList copied = Describe(Root(task) + "/copy");
    QCOMPARE(copied, WithoutSockets(Describe(s)));
    QCOMPARE(
        copied.filter(QRegularExpression("^\\./%FF%FE-not-utf8-%E5%A4 file 0644 size 8 ")).size(),
        1);
    QCOMPARE(copied.filter(QRegularExpression("^\\./dir-%80%81/inside file ")).size(), 1);
}

void TreeCopyTest::manyFilesOverWorkers_data() {
    QTest::addColumn<int>("workers");
    QTest::newRow("one") << 1;
    QTest::newRow("two") << 2;
    QTest::newRow("five") << 5;
}

void TreeCopyTest::manyFilesOverWorkers() {
    QFETCH(int, workers);
    TaskFolder task;
    const std::string s = Root(task) + "/source";
    BuildManyFiles(s, 12, 15);
    CopyHashed(s, Root(task) + "/copy", workers);
    QCOMPARE(Describe(Root(task) + "/copy"), Describe(s));
}

void TreeCopyTest::sparseFileKeepsHoles() {
    TaskFolder task;
    const std::string s = Root(task) + "/sparse";
    const off_t size = 16 * 1024 * 1024;
    {
        const int fd = ::open(s.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::pwrite(fd, "head", 4, 0), 4);
        QCOMPARE(::pwrite(fd, "middle", 6, size / 2), 6);
        QCOMPARE(::ftruncate(fd, size), 0);
        ::close(fd);
    }
    struct stat before;
    QCOMPARE(::stat(s.c_str(), &before), 0);
    if (before.st_blocks * 512 >= size) {
        QSKIP("this file system does not keep holes");
    }
    CopyHashed(s, Root(task) + "/copy");
    struct stat after;
    QCOMPARE(::stat((Root(task) + "/copy").c_str(), &after), 0);
    QCOMPARE(after.st_size, size);
    QVERIFY2(after.st_blocks <= before.st_blocks + 64, "the holes were filled");
    QCOMPARE(Content(Root(task) + "/copy"), Content(s));
}

// Between file systems copy_file_range gives up, and the buffered copy takes over.
void TreeCopyTest::acrossFileSystems() {
    TaskFolder task;
    struct stat shm, here;
    if (::stat("/dev/shm", &shm) != 0 || ::stat(Root(task).c_str(), &here) != 0 ||
        shm.st_dev == here.st_dev || ::access("/dev/shm", W_OK) != 0) {
        QSKIP("no second writable file system at /dev/shm");
    }
    QTemporaryDir elsewhere(QStringLiteral("/dev/shm/tessivar-copy-XXXXXX"));
    QVERIFY(elsewhere.isValid());
    const std::string s = elsewhere.path().toStdString() + "/source";
    BuildRichTree(s);
    CopyHashed(s, Root(task) + "/copy");
    QCOMPARE(Describe(Root(task) + "/copy"), Describe(s));
}

void TreeCopyTest::singleFile() {
    TaskFolder task;
    const std::string s = Root(task) + "/ledger.xls";
    QVERIFY(Put(s, QByteArray(200000, 'L'), 0640));
    QVERIFY(Age(s, 1234567890, 987654321));
    CopyHashed(s, Root(task) + "/ledger.xls_260514");
    QStringList copied = Describe(Root(task) + "/ledger.xls_260514");
    QCOMPARE(copied, Describe(s));
}

void TreeCopyTest::entriesOfEveryKind_data() {
    QTest::addColumn<QByteArray>("kind");
    QTest::addColumn<bool>("givenAway");  // to 1234:5678, as only root can
    QTest::newRow("FIFO") << QByteArray("fifo") << false;
    QTest::newRow("socket, left out") << QByteArray("socket") << false;
    QTest::newRow("set-ID file of our own") << QByteArray("file") << false;
    QTest::newRow("device file") << QByteArray("device") << true;
    QTest::newRow("set-ID file with capabilities") << QByteArray("file") << true;
    QTest::newRow("link") << QByteArray("link") << true;
    QTest::newRow("folder") << QByteArray("folder") << true;
}

void TreeCopyTest::entriesOfEveryKind() {
    QFETCH(QByteArray, kind);
    QFETCH(bool, givenAway);
    if (givenAway && ::geteuid() != 0) {
        QSKIP("only root makes device files and gives entries away");
    }
    TaskFolder task;
    const std::string s = Root(task) + "/source", e = s + "/e";
    QVERIFY(Folder(s));
    QVERIFY(kind == "fifo"     ? ::mkfifo(e.c_str(), 0640) == 0
            : kind == "socket" ? MakeSocket(e)
            : kind == "device" ? ::mknod(e.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0
            : kind == "link"   ? ::symlink("elsewhere", e.c_str()) == 0
            : kind == "folder" ? Folder(e, 02750)
                               : Put(e, "elf"));
    QVERIFY(!givenAway || ::lchown(e.c_str(), 1234, 5678) == 0);
    const char netRaw[20] = {1, 0, 0, 2, 0, 0x20};  // security.capability: cap_net_raw+ep
    QVERIFY(kind != "file" ||
            (::chmod(e.c_str(), 07755) == 0 &&
             (!givenAway || ::setxattr(e.c_str(), "security.capability", netRaw, 20, 0) == 0)));
    const std::vector<LeftOutEntry> leftOut = CopyTree(s, Root(task) + "/copy");
    QCOMPARE(Describe(Root(task) + "/copy"), WithoutSockets(Describe(s)));
    QVERIFY(leftOut == (kind == "socket" ? std::vector<LeftOutEntry>{{"e", LeftOutReason::Socket}}
                                         : std::vector<LeftOutEntry>{}));
}

void TreeCopyTest::sourceLinkIsFollowedOnlyAtTheTop() {
    TaskFolder task;
    const std::string real = Root(task) + "/real";
    QVERIFY(Folder(real));
    QVERIFY(Put(real + "/a", "a"));
    QVERIFY(::symlink("a", (real + "/link-to-a").c_str()) == 0);
    QVERIFY(::symlink("real", (Root(task) + "/picked").c_str()) == 0);
    CopyTree(Root(task) + "/picked", Root(task) + "/copy");
    struct stat st;
    QCOMPARE(::lstat((Root(task) + "/copy").c_str(), &st), 0);
    QVERIFY(S_ISDIR(st.st_mode));
    QCOMPARE(::lstat((Root(task) + "/copy/link-to-a").c_str(), &st), 0);
    QVERIFY(S_ISLNK(st.st_mode));
}

void TreeCopyTest::failureMidwayLeavesNothing_data() {
    QTest::addColumn<int>("workers");
    QTest::newRow("one worker") << 1;
    QTest::newRow("three workers") << 3;
}

void TreeCopyTest::failureMidwayLeavesNothing() {
    QFETCH(int, workers);
    TaskFolder task;
    const std::string s = Root(task) + "/source";
    BuildManyFiles(s, 10, 12);
    std::atomic<int> seen{0};
    SetCopyFaultInjector([&](const std::filesystem::path& file) {
        return ++seen == 60 || file.filename() == "f7" ? ENOSPC : 0;
    });
    QString message;
    try {
        CopyTree(s, Root(task) + "/copy", workers);
    } catch (const Error& error) {
        message = error.message();
    }
    SetCopyFaultInjector({});
    QVERIFY2(message.startsWith(QString::fromStdString("Cannot copy \"" + s + "/d")),
             qPrintable(message));
    QVERIFY2(message.endsWith(QLatin1String("\": No space left on device")), qPrintable(message));
    QVERIFY(!Exists(Root(task) + "/copy"));
}

void TreeCopyTest::fileTooLargeIsLeftOutWithAllItsNames_data() {
    failureMidwayLeavesNothing_data();
}

// A write refused as too large leaves that file out, and so every other name of it, which
// must never be a link to a cut-short copy.
void TreeCopyTest::fileTooLargeIsLeftOutWithAllItsNames() {
    QFETCH(int, workers);
    TaskFolder task;
    const std::string s = Root(task) + "/source";
    BuildManyFiles(s, 6, 3);
    SetCopyFaultInjector([](const std::filesystem::path& file) {
        return file.filename() == "shared" || file.filename() == "f2" ? EFBIG : 0;
    });
    const std::vector<LeftOutEntry> leftOut = CopyTree(s, Root(task) + "/copy", workers);
    SetCopyFaultInjector({});
    std::vector<LeftOutEntry> expected{{"shared", LeftOutReason::TooLarge}};
    for (int f = 0; f < 6; ++f) {
        expected.push_back({"d" + std::to_string(f) + "/f2", LeftOutReason::TooLarge});
        expected.push_back({"d" + std::to_string(f) + "/shared", LeftOutReason::TooLarge});
    }
    std::sort(expected.begin(), expected.end(),
              [](const auto& a, const auto& b) { return a.path < b.path; });
    QVERIFY(leftOut == expected);
    QStringList copied = Describe(Root(task) + "/copy");
    QCOMPARE(copied.filter(QRegularExpression("(shared|f2) ")), QStringList());
    QCOMPARE(copied.filter(QRegularExpression("/f[01] file ")).size(), 12);
}

void TreeCopyTest::existingTargetIsRefused() {
    TaskFolder task;
    QVERIFY(Put(Root(task) + "/source", "new"));
    QVERIFY(Put(Root(task) + "/target", "old"));
    QVERIFY_THROWS_EXCEPTION(Error, CopyTree(Root(task) + "/source", Root(task) + "/target"));
    QCOMPARE(Content(Root(task) + "/target"), QByteArray("old"));
}

void TreeCopyTest::removeTreeNeverFollowsLinks() {
    TaskFolder task;
    const std::string keep = Root(task) + "/precious";
    QVERIFY(Folder(keep));
    QVERIFY(Put(keep + "/data", "keep me"));
    const std::string doomed = Root(task) + "/doomed_260514";
    QVERIFY(Folder(doomed));
    QVERIFY(Folder(doomed + "/locked", 0500));
    QVERIFY(::symlink(keep.c_str(), (doomed + "/to-precious").c_str()) == 0);
    QVERIFY(::symlink(keep.c_str(), (Root(task) + "/link_260514").c_str()) == 0);
    QVERIFY(::chmod(keep.c_str(), 0555) == 0);  // nor is a folder outside made writable
    QVERIFY(!RemoveTree(doomed));
    QVERIFY(!RemoveTree(Root(task) + "/link_260514"));
    QVERIFY(!RemoveTree(Root(task) + "/never-was"));
    QVERIFY(!Exists(doomed));
    QVERIFY(!Exists(Root(task) + "/link_260514"));
    QCOMPARE(Content(keep + "/data"), QByteArray("keep me"));
    struct stat st;
    QVERIFY(::stat(keep.c_str(), &st) == 0 && (st.st_mode & 07777) == 0555);
}

QTEST_GUILESS_MAIN(TreeCopyTest)
#include "tst_TreeCopy.moc"
