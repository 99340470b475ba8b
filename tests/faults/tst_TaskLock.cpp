#include "TaskFolder.h"
#include "platform/Error.h"
#include "platform/TaskLock.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Whether another open file of the lock could take it now.
bool FreeForOthers() {
    const int fd = ::open(".tessivar.lock", O_RDONLY | O_CLOEXEC);
    const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return free;
}

bool LocksThroughTheReadOnlyFile() {
    try {
        const TaskLock lock;
        return !FreeForOthers();
    } catch (const Error&) {
        return false;
    }
}

}  // namespace

class TaskLockTest : public QObject {
    Q_OBJECT

private slots:
    void heldForItsLifetimeAndSharedWhenNested() {
        TaskFolder task;
        {
            const TaskLock outer;
            QVERIFY(!FreeForOthers());
            {
                const TaskLock inner;  // no wait on itself
                QVERIFY(!FreeForOthers());
            }
            QVERIFY(!FreeForOthers());
        }
        QVERIFY(FreeForOthers());
    }

    // Root may write any file, so as root the lock is taken by a child that became nobody.
    void existingReadOnlyLockFileStillLocks() {
        TaskFolder task;
        QVERIFY(QFile(QStringLiteral(".tessivar.lock")).open(QIODevice::WriteOnly));
        const auto readable = QFile::ReadOwner | QFile::ReadOther;
        QVERIFY(QFile::setPermissions(QStringLiteral(".tessivar.lock"), readable));
        QVERIFY(QFile::setPermissions(task.path(), readable | QFile::ExeOwner | QFile::ExeOther));
        if (::geteuid() != 0) {
            QVERIFY(LocksThroughTheReadOnlyFile());
            return;
        }
        const pid_t child = ::fork();
        if (child == 0) {
            const bool nobody = ::setgroups(0, nullptr) == 0 &&
                                ::setresgid(65534, 65534, 65534) == 0 &&
                                ::setresuid(65534, 65534, 65534) == 0;
            ::_exit(!nobody ? 2 : LocksThroughTheReadOnlyFile() ? 0 : 1);
        }
        int status = -1;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }

    void lockFileThatCannotBeMadeIsAClearError_data() {
        QTest::addColumn<QString>("inTheWay");
        QTest::newRow("folder") << QStringLiteral("folder");
        QTest::newRow("link") << QStringLiteral("link");
    }

    void lockFileThatCannotBeMadeIsAClearError() {
        QFETCH(QString, inTheWay);
        TaskFolder task;
        if (inTheWay == QLatin1String("folder")) {
            QVERIFY(QDir().mkdir(QStringLiteral(".tessivar.lock")));
        } else {
            QVERIFY(QFile::link(QStringLiteral("/etc/passwd"), QStringLiteral(".tessivar.lock")));
        }
        try {
            const TaskLock lock;
            QFAIL("locked through something that is not a lock file");
        } catch (const Error& error) {
            QVERIFY2(error.message().startsWith(QStringLiteral("Cannot lock the task folder")),
                     qPrintable(error.message()));
        }
        const TaskLock later(QStringLiteral("./other.lock"));  // nothing stays half-held
    }
};

QTEST_GUILESS_MAIN(TaskLockTest)
#include "tst_TaskLock.moc"
