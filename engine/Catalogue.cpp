#include "engine/Catalogue.h"

#include "platform/Error.h"
#include "platform/FileDescriptor.h"
#include "platform/Mounts.h"
#include "platform/WorkingFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QUuid>
#include <QVariant>

#include <cerrno>
#include <cstdio>

namespace {

QString EngineErrorText(const QSqlError& error) {
    const QString engine = error.databaseText().trimmed();
    return engine.isEmpty() ? error.text().trimmed() : engine;
}

QString UniqueConnectionName(const QString& role) {
    return role + u'-' + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// Opens an SQLite connection that never creates the file: a missing catalogue must fail
// its statements, not silently start an empty one.
QSqlDatabase OpenExisting(const QString& connectionName, const QString& fileName) {
    QString failure;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
        db.setDatabaseName(QStringLiteral("file:") + fileName + QStringLiteral("?mode=rw"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=10000"));
        if (db.open()) {
            // A commit is on the disk when it returns, the removal of the journal (which is
            // the commit) included: else a power cut soon after could roll a row back.
            QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous = EXTRA"));
            return db;
        }
        failure = EngineErrorText(db.lastError());
    }
    // Dropped, so that the next attempt starts from a clean connection of the same name.
    QSqlDatabase::removeDatabase(connectionName);
    throw Error(failure);
}

// A name beside fileName in its own folder (".%1" of "./wenjianming.mdb" would otherwise
// land in the parent folder).
QString ScratchName(const QString& fileName) {
    const QFileInfo info(fileName);
    return info.dir().filePath(
        QStringLiteral(".%1.%2.new")
            .arg(info.fileName(), QUuid::createUuid().toString(QUuid::Id128)));
}

// Makes the scratch file, locked for as long as fd is open. Where a leftover cleaning of
// another process took it between its creation and its lock, another is made.
bool MakeLockedScratch(const QString& fileName, QString& scratch, int& fd) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        scratch = ScratchName(fileName);
        const QByteArray path = QFile::encodeName(scratch);
        fd = ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            return false;
        }
        struct stat held;
        struct stat named;
        if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &held) == 0 &&
            ::stat(path.constData(), &named) == 0 && held.st_ino == named.st_ino) {
            return true;
        }
        ::close(fd);
    }
    return false;
}

const QString kCreateTable = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS wenjianming (id INTEGER PRIMARY KEY AUTOINCREMENT, wenjianming "
    "TEXT, "
    "shijian TEXT)");

// Jet's TOP keeps every row tied with the N-th; so do we, by taking only the rows whose
// day is older than that of the N-th newest row (none when there are N rows or fewer). A
// row whose shijian is not a day (NULL, any other text) is left out on both sides: it never
// counts among the newest N, so it cannot push a copy out, and it is never pruned itself.
const QString kRetention = QStringLiteral(
    "SELECT id, wenjianming, shijian FROM wenjianming WHERE "
    "shijian = date(shijian, '+0 days') AND shijian < ("
    "SELECT shijian FROM wenjianming WHERE shijian = date(shijian, '+0 days') "
    "ORDER BY shijian DESC LIMIT 1 OFFSET :skip)");

}  // namespace

Catalogue::Catalogue(QString fileName)
    : fileName_(std::move(fileName)), connectionName_(UniqueConnectionName("ADOConnection1")) {}

Catalogue::~Catalogue() {
    ado1_.reset();
    ado2_.reset();
    if (ADOConnection1.isValid()) {
        ADOConnection1.close();
        ADOConnection1 = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName_);
    }
}

bool Catalogue::Present(const QString& fileName) {
    // An empty file is what a start cut short during the creation leaves: not a catalogue yet.
    const QFileInfo info(fileName);
    return info.isFile() && info.size() > 0;
}

namespace {

// Gives the SQLite file at path its table, once: an empty file becomes a catalogue; a file
// that has the table already is left as it is. Returns the engine's error text, or "".
QString AddTable(const QString& path) {
    const QString connectionName = UniqueConnectionName(QStringLiteral("ADO"));
    QString failure;
    {
        QSqlDatabase ADO = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
        ADO.setDatabaseName(QStringLiteral("file:") + path + QStringLiteral("?mode=rw"));
        ADO.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=10000"));
        if (!ADO.open()) {
            failure = EngineErrorText(ADO.lastError());
        } else {
            QSqlQuery ADOQuery1(ADO);
            if (!ADOQuery1.exec(kCreateTable)) {
                failure = EngineErrorText(ADOQuery1.lastError());
            }
        }
        ADO.close();
    }
    QSqlDatabase::removeDatabase(connectionName);
    return failure;
}

// The two ways of making a name that never replace a file already there: a rename that
// refuses an existing target, or, where the file system has none (FAT, exFAT, NTFS through
// FUSE, some network shares), an exclusive create that the table is then written into.
enum class Placed { Here, Taken, NoExclusiveRename };

Placed RenameIfFree(const QString& from, const QString& to) {
    if (::renameat2(AT_FDCWD, QFile::encodeName(from).constData(), AT_FDCWD,
                    QFile::encodeName(to).constData(), RENAME_NOREPLACE) == 0) {
        return Placed::Here;
    }
    if (errno == EEXIST) {
        return Placed::Taken;
    }
    if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
        return Placed::NoExclusiveRename;
    }
    throw Error(SystemErrorText(errno));
}

}  // namespace

void Catalogue::ClearLeftScratch(const QString& fileName) {
    const QFileInfo info(fileName);
    const QStringList names =
        info.dir().entryList({QStringLiteral(".%1.*.new").arg(info.fileName()),
                              QStringLiteral(".%1.*.new-journal").arg(info.fileName())},
                             QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const QByteArray path = QFile::encodeName(info.dir().filePath(name));
        if (name.endsWith(QStringLiteral("-journal"))) {
            // A journal outlives its scratch file only when the removal of the journal was
            // lost and that of the scratch file was not.
            if (!names.contains(name.chopped(8))) {
                ::unlink(path.constData());
            }
            continue;
        }
        const FileDescriptor fd(
            ::open(path.constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (fd.valid() && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            ::unlink((path + "-journal").constData());
            ::unlink(path.constData());
        }
    }
}

bool Catalogue::Create(const QString& fileName) {
    const QFileInfo existing(fileName);
    if (existing.isFile() && existing.size() == 0) {
        // A creation cut short: finished now, in place.
        const QString failure = AddTable(fileName);
        if (!failure.isEmpty()) {
            throw Error(failure);
        }
        return true;
    }
    if (existing.exists() || existing.isSymLink()) {
        return false;  // a catalogue, or something that is not one, holds the name
    }
    // Built under a scratch name and moved into place complete, so a failure leaves either
    // no catalogue or a whole one, and a catalogue that appeared meanwhile (a second
    // instance in the same folder) is kept.
    QString scratch;
    int lockFd = -1;
    if (!MakeLockedScratch(fileName, scratch, lockFd)) {
        return false;
    }
    const FileDescriptor lock(lockFd);
    Placed placed = Placed::Taken;
    QString failure = AddTable(scratch);
    try {
        if (failure.isEmpty()) {
            placed = RenameIfFree(scratch, fileName);
        }
    } catch (const Error& error) {
        failure = error.message();
    }
    QFile::remove(scratch);
    if (failure.isEmpty() && placed == Placed::NoExclusiveRename) {
        const int fd = ::open(QFile::encodeName(fileName).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) {
                return false;
            }
            throw Error(SystemErrorText(errno));
        }
        ::close(fd);
        placed = Placed::Here;
        failure = AddTable(fileName);
        if (!failure.isEmpty()) {
            QFile::remove(fileName);  // ours, made empty a moment ago
        }
    }
    if (!failure.isEmpty()) {
        throw Error(failure);
    }
    return placed == Placed::Here;
}

namespace {

// A catalogue of an earlier version has no table of drives: it knows no drive.
std::optional<Catalogue::Drive> FirstDrive(QSqlQuery& query) {
    std::optional<Catalogue::Drive> drive;
    if (query.exec() && query.next()) {
        drive = Catalogue::Drive{query.value(0).toString(), query.value(1).toString(),
                                 query.value(2).toString()};
    }
    query.finish();
    return drive;
}

}  // namespace

bool Catalogue::Drive::unplugged() const {
    const std::string point = ToFsPath(mountPoint).native();
    return !point.empty() && point != "/" && !IsMountPoint(point);
}

std::optional<Catalogue::Drive> Catalogue::DriveOf(const QString& targetPath) {
    QSqlQuery query(connection());
    if (!query.prepare(QStringLiteral("SELECT folder, mountpoint, identity FROM tessivar_drive "
                                      "WHERE wenjianming = ?"))) {
        return std::nullopt;
    }
    query.addBindValue(targetPath);
    return FirstDrive(query);
}

std::optional<Catalogue::Drive> Catalogue::LastDrive() {
    QSqlQuery query(connection());
    if (!query.prepare(QStringLiteral(
            "SELECT d.folder, d.mountpoint, d.identity FROM wenjianming w JOIN tessivar_drive d "
            "ON d.wenjianming = w.wenjianming ORDER BY w.id DESC LIMIT 1"))) {
        return std::nullopt;
    }
    return FirstDrive(query);
}

QString Catalogue::DayText(const QDate& day) {
    return day.toString(Qt::ISODate);
}

QSqlDatabase& Catalogue::connection() {
    if (!ADOConnection1.isOpen()) {
        ADOConnection1 = OpenExisting(connectionName_, fileName_);
    }
    return ADOConnection1;
}

QSqlQuery& Catalogue::ADO1() {
    if (!ado1_) {
        ado1_.emplace(connection());
    }
    return *ado1_;
}

QSqlQuery& Catalogue::ADO2() {
    if (!ado2_) {
        ado2_.emplace(connection());
    }
    return *ado2_;
}

void Catalogue::prepare(QSqlQuery& query, const QString& statement) {
    query.finish();
    if (!query.prepare(statement)) {
        throw Error(EngineErrorText(query.lastError()));
    }
}

void Catalogue::exec(QSqlQuery& query) {
    if (!query.exec()) {
        const QString text = EngineErrorText(query.lastError());
        query.finish();
        throw Error(text);
    }
}

void Catalogue::CheckWritable() {
    QSqlDatabase& db = connection();
    QSqlQuery& probe = ADO2();
    const auto run = [&](const QString& statement) {
        probe.finish();
        if (!probe.exec(statement)) {
            const QString text = EngineErrorText(probe.lastError());
            probe.finish();
            if (db.driver()->hasFeature(QSqlDriver::Transactions)) {
                QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
            }
            throw Error(text);
        }
    };
    run(QStringLiteral("BEGIN IMMEDIATE"));
    // Only a real write finds a read-only file; it is taken back at once.
    run(QStringLiteral("INSERT INTO wenjianming (wenjianming, shijian) VALUES (NULL, NULL)"));
    run(QStringLiteral("ROLLBACK"));
    probe.finish();
}

void Catalogue::RecordBackup(const QString& targetPath, const QDate& day,
                             const std::optional<Drive>& drive) {
    QSqlDatabase& db = connection();
    QSqlQuery& sameDayDelete = ADO2();
    QSqlQuery& insert = ADO1();
    if (!db.transaction()) {
        throw Error(EngineErrorText(db.lastError()));
    }
    try {
        prepare(sameDayDelete,
                QStringLiteral("delete from wenjianming where wenjianming=:a and shijian=:b"));
        sameDayDelete.bindValue(QStringLiteral(":a"), targetPath);
        sameDayDelete.bindValue(QStringLiteral(":b"), DayText(day));
        exec(sameDayDelete);
        sameDayDelete.finish();

        prepare(insert, QStringLiteral("insert into wenjianming(wenjianming,shijian)values(?,?)"));
        insert.addBindValue(targetPath);
        insert.addBindValue(DayText(day));
        exec(insert);
        insert.finish();
        if (drive) {
            prepare(insert, QStringLiteral("CREATE TABLE IF NOT EXISTS tessivar_drive ("
                                           "wenjianming TEXT PRIMARY KEY, folder TEXT, "
                                           "mountpoint TEXT, identity TEXT)"));
            exec(insert);
            prepare(insert,
                    QStringLiteral("INSERT OR REPLACE INTO tessivar_drive VALUES (?,?,?,?)"));
            for (const QString& value :
                 {targetPath, drive->folder, drive->mountPoint, drive->identity}) {
                insert.addBindValue(value);
            }
            exec(insert);
            insert.finish();
        }
        if (!db.commit()) {
            throw Error(EngineErrorText(db.lastError()));
        }
    } catch (...) {
        db.rollback();
        throw;
    }
}

std::vector<Catalogue::Row> Catalogue::RetentionRows(qint64 keep) {
    QSqlQuery& query = ADO1();
    prepare(query, kRetention);
    query.bindValue(QStringLiteral(":skip"), keep - 1);
    return rowsOf(query);
}

std::vector<Catalogue::Row> Catalogue::Rows() {
    QSqlQuery& query = ADO1();
    prepare(query, QStringLiteral("SELECT id, wenjianming, shijian FROM wenjianming "
                                  "ORDER BY shijian, id"));
    return rowsOf(query);
}

std::vector<Catalogue::Row> Catalogue::rowsOf(QSqlQuery& query) {
    query.setForwardOnly(true);
    exec(query);
    std::vector<Row> rows;
    while (query.next()) {
        rows.push_back(
            {query.value(0).toLongLong(), query.value(1).toString(), query.value(2).toString()});
    }
    if (query.lastError().isValid()) {
        const QString text = EngineErrorText(query.lastError());
        query.finish();
        throw Error(text);
    }
    query.finish();
    return rows;
}

void Catalogue::DeleteRow(qint64 id) {
    QSqlQuery& query = ADO2();
    prepare(query, QStringLiteral("delete from wenjianming where id =:c "));
    query.bindValue(QStringLiteral(":c"), id);
    exec(query);
    query.finish();
}

void Catalogue::KeepingWhatIsDone(const std::function<void()>& work) {
    QSqlDatabase& db = connection();
    if (!db.transaction()) {
        throw Error(EngineErrorText(db.lastError()));
    }
    // A commit that fails (another process holding the file too long) is rolled back, so
    // that no transaction stays open to fail the next one; its error is the one reported.
    const auto commit = [&db] {
        if (!db.commit()) {
            const QString text = EngineErrorText(db.lastError());
            db.rollback();
            throw Error(text);
        }
    };
    try {
        work();
    } catch (...) {
        commit();
        throw;
    }
    commit();
}
