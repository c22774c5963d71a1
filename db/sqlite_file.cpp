// SQLite's own online backup and integrity check, for the dumps of SQLite databases.
#include "db/sqlite_file.h"

#include "sys/interrupt.h"

#include <QElapsedTimer>
#include <QFile>
#include <QUrl>

#include <sqlite3.h>

namespace {

const int busyTimeoutMs = 10000;
// How often a wait for a writer's lock looks for a stop request.
const int busyCheckMs = 20;

// Closes the connection when it goes out of scope; a failed open still needs the close.
class Connection {
public:
    Connection() = default;
    ~Connection() { sqlite3_close(m_handle); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool open(const QString& name, int flags)
    {
        return sqlite3_open_v2(name.toUtf8().constData(), &m_handle, flags, nullptr) == SQLITE_OK;
    }
    sqlite3* handle() const { return m_handle; }
    QString errorMessage() const { return QString::fromUtf8(sqlite3_errmsg(m_handle)); }

private:
    sqlite3* m_handle = nullptr;
};

// The busy timeout, but a stop request ends the wait at once.
int waitForLock(void* timer, int attempts)
{
    QElapsedTimer& elapsed = *static_cast<QElapsedTimer*>(timer);
    if (attempts == 0)
        elapsed.start();
    if (Interrupt::requested() || elapsed.elapsed() >= busyTimeoutMs)
        return 0;
    sqlite3_sleep(busyCheckMs);
    return 1;
}

// Runs "PRAGMA <check>" on file; true when its first row is "ok".
bool checkSqliteFile(const QString& file, const char* check, QString& reason)
{
    // immutable: no locks, and no -wal or -shm file made beside a dump that is in WAL mode.
    const QString uri = QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded)
                        + QStringLiteral("?immutable=1");
    Connection db;
    sqlite3_stmt* statement = nullptr;
    // Mapped, the check reads the dump without a system call per page; nothing else writes it.
    if (!db.open(uri, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI)
        || sqlite3_exec(db.handle(), "PRAGMA mmap_size = 1073741824", nullptr, nullptr, nullptr)
               != SQLITE_OK
        || sqlite3_prepare_v2(db.handle(), QByteArray("PRAGMA ").append(check).constData(), -1,
                              &statement, nullptr)
               != SQLITE_OK) {
        reason = QStringLiteral("SQLite cannot read it: ") + db.errorMessage();
        return false;
    }
    const int result = sqlite3_step(statement);
    const QString verdict =
        result == SQLITE_ROW
            ? QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)))
            : db.errorMessage();
    sqlite3_finalize(statement);
    if (result == SQLITE_ROW && verdict == QLatin1String("ok"))
        return true;
    reason = QStringLiteral("SQLite's %1 found: ").arg(QLatin1String(check))
             + verdict.section(QLatin1Char('\n'), 0, 0);
    return false;
}

} // namespace

bool backupSqliteFile(const QString& sourceFile, const QString& targetFile, QString& error)
{
    Connection source;
    Connection target;
    if (!source.open(sourceFile, SQLITE_OPEN_READONLY)) {
        error = source.errorMessage();
        return false;
    }
    // The dump is a new file in the work folder, which a failed or cut run discards and which is
    // flushed as a whole before it is published: SQLite's own journal and syncs would only
    // make the disk wait several times per dump.
    if (!target.open(targetFile, SQLITE_OPEN_READWRITE)
        || sqlite3_exec(target.handle(), "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF",
                        nullptr, nullptr, nullptr)
               != SQLITE_OK) {
        error = target.errorMessage();
        return false;
    }
    QElapsedTimer busyTimer;
    sqlite3_busy_handler(source.handle(), waitForLock, &busyTimer);

    // One step copies every page under one read transaction: the snapshot is consistent, and
    // a read-only connection still reads the committed pages of the write-ahead log.
    sqlite3_backup* backup = sqlite3_backup_init(target.handle(), "main", source.handle(), "main");
    if (!backup) {
        error = target.errorMessage();
        return false;
    }
    const int stepResult = sqlite3_backup_step(backup, -1);
    const int finishResult = sqlite3_backup_finish(backup);
    if (stepResult != SQLITE_DONE) {
        error = QString::fromUtf8(sqlite3_errstr(stepResult));
        return false;
    }
    if (finishResult != SQLITE_OK) {
        error = target.errorMessage();
        return false;
    }
    return true;
}

bool quickCheckSqliteFile(const QString& file, QString& reason)
{
    return checkSqliteFile(file, "quick_check", reason);
}

bool integrityCheckSqliteFile(const QString& file, QString& reason)
{
    return checkSqliteFile(file, "integrity_check", reason);
}
