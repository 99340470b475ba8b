#pragma once

#include <QDate>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

// The catalogue of backups made: table wenjianming (id, wenjianming, shijian) in the
// SQLite file ./wenjianming.mdb of the current folder. One row per copy: its target path
// and its day, stored as YYYY-MM-DD so that text order is date order.
class Catalogue {
public:
    struct Row {
        qint64 id = 0;
        QString wenjianming;
        QString shijian;
    };

    // fileName is relative to the current folder at the moment the connection opens.
    explicit Catalogue(QString fileName = QStringLiteral("wenjianming.mdb"));
    ~Catalogue();
    Catalogue(const Catalogue&) = delete;
    Catalogue& operator=(const Catalogue&) = delete;

    // A regular file of that name in the current folder, not empty, counts as a catalogue.
    static bool Present(const QString& fileName = QStringLiteral("wenjianming.mdb"));

    // Makes a new catalogue file with its empty table, never replacing a file that is
    // there, and without hard links (which FAT, exFAT, NTFS and network shares refuse); an
    // empty file of that name (a creation cut short) gets its table. Returns false, having
    // changed nothing, when the name is taken or the file cannot be made at all (the folder
    // is not writable); throws Error when the table cannot be created, and then leaves no
    // new file behind, so the next start tries again.
    static bool Create(const QString& fileName = QStringLiteral("wenjianming.mdb"));

    // Removes the scratch catalogues (".<name>.<id>.new") and their SQLite journals that a
    // creation cut short left (a crash, a power cut). A creation in progress holds a lock on
    // its scratch file, so one of another process starting at the same moment stays.
    static void ClearLeftScratch(const QString& fileName = QStringLiteral("wenjianming.mdb"));

    // Fails with the engine's error text when the catalogue could not take a new row now
    // (no file, no table, not a database, read only), so a run can stop before it copies
    // anything rather than leave a copy that no row records and no pruning will see.
    void CheckWritable();

    // Where a copy was made: the destination folder (resolved), the mount point it lay on
    // and that file system's identity. Kept in a table of its own, tessivar_drive.
    struct Drive {
        QString folder;
        QString mountPoint;
        QString identity;

        // Its mount point (other than "/") is no longer mounted: the drive is unplugged, or
        // its network mount dropped.
        bool unplugged() const;
    };

    // The same-day delete and the insert of one backup run, and where the copy was made, in
    // one transaction.
    void RecordBackup(const QString& targetPath, const QDate& day,
                      const std::optional<Drive>& drive = std::nullopt);

    // Where a catalogued copy was made; nothing for a copy of an earlier version.
    std::optional<Drive> DriveOf(const QString& targetPath);
    // Where the newest catalogued copy that says so was made.
    std::optional<Drive> LastDrive();

    // Every row outside the newest `keep` by shijian, where rows tied with the keep-th
    // stay. Rows whose shijian is not a day are neither counted nor given. keep >= 1.
    std::vector<Row> RetentionRows(qint64 keep);
    // Every row, oldest day first.
    std::vector<Row> Rows();
    void DeleteRow(qint64 id);

    // Runs the statements of `work` as one transaction, so a pruning of thousands of rows
    // costs one commit, not one each. What was done before a failure is kept; a commit that
    // fails is rolled back and throws Error, and then nothing of the work is kept.
    void KeepingWhatIsDone(const std::function<void()>& work);

    static QString DayText(const QDate& day);

private:
    QSqlDatabase& connection();
    QSqlQuery& ADO1();
    QSqlQuery& ADO2();
    void exec(QSqlQuery& query);
    void prepare(QSqlQuery& query, const QString& statement);
    std::vector<Row> rowsOf(QSqlQuery& query);

    QString fileName_;
    QString connectionName_;
    QSqlDatabase ADOConnection1;
    std::optional<QSqlQuery> ado1_;
    std::optional<QSqlQuery> ado2_;
};
