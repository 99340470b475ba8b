#include "TaskFolder.h"
#include "platform/Error.h"
#include "platform/TaskLock.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
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
                const TaskLock inner;  // a tick inside a run's box: no wait on itself
                QVERIFY(!FreeForOthers());
            }
            QVERIFY(!FreeForOthers());
        }
        QVERIFY(FreeForOthers());
    }

    void existingReadOnlyLockFileStillLocks() {
        TaskFolder task;
        QVERIFY(QFile(QStringLiteral(".tessivar.lock")).open(QIODevice::WriteOnly));
        QVERIFY(QFile::setPermissions(QStringLiteral(".tessivar.lock"), QFile::ReadOwner));
        const TaskLock lock;
        QVERIFY(!FreeForOthers() || ::geteuid() == 0);
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
