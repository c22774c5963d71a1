// Backup, compatibility check and restore of one database, an SQLite file or PostgreSQL.
#include "db/database.h"

#include "db/postgres_clear.h"
#include "db/postgres_dump.h"
#include "db/sqlite_file.h"
#include "db/tool_runner.h"
#include "fs/destination.h"
#include "fs/failure_lines.h"
#include "fs/folder_ops.h"
#include "platform/brisken/trace.h"
#include "platform/vellacor/vellacor.h"
#include "server/server_config.h"
#include "sys/files.h"
#include "sys/interrupt.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QTemporaryFile>
#include <QUrl>

#include <cerrno>

namespace {

bool isSqliteLocation(const QString& location)
{
    return location.startsWith(QLatin1String("sqlite://"));
}

bool isPostgresLocation(const QString& location)
{
    return location.startsWith(QLatin1String("postgres://"));
}

bool isSqliteDump(const QString& dumpFile)
{
    return dumpFile.endsWith(QLatin1String(".db"));
}

bool isPostgresDump(const QString& dumpFile)
{
    return dumpFile.endsWith(QLatin1String(".sql"));
}

QString schemeOf(const QString& location)
{
    return QUrl::fromUserInput(location).scheme();
}

QSqlDatabase postgresConnection(const QString& location)
{
    return Vellacor::DatabaseManager::connection(Vellacor::DB::rewriteServerUrl(location));
}

// Creates path as an empty file that only its owner may read, and fails when anything is
// already there: a dump never goes into an existing file and is private while it grows.
// QTemporaryFile creates with mode 0600; the move never replaces anything.
bool createPrivateFile(const QString& path)
{
    QTemporaryFile file(path + QStringLiteral(".XXXXXX"));
    if (!file.open() || !Sys::renameNoReplace(file.fileName(), path))
        return false;
    file.setAutoRemove(false);
    return true;
}

// A dump that the installed psql cannot load is refused before anything is dropped.
bool checkPostgresDump(const QString& dumpFile)
{
    QString reason;
    if (!checkDumpComplete(dumpFile, reason))
        return failBackupCheck(dumpFile, reason);
    const QString psqlVersion = toolVersion(QStringLiteral("psql"));
    if (psqlVersion.isNull())
        return false; // the runner has said why
    if (!checkDumpLoadable(dumpFile, psqlVersion, reason))
        return failBackupCheck(dumpFile, reason);
    return true;
}

void reportReason(const QString& path)
{
    Brisken::Trace::error("%s: %s", qUtf8Printable(path), qUtf8Printable(Sys::errorText(errno)));
}

// Removes the files SQLite keeps beside a database: left behind, a -wal or -journal would be
// replayed onto the restored file.
bool removeSqliteCompanions(const QString& database)
{
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        const QString path = database + QLatin1String(suffix);
        const QFileInfo companion(path);
        if ((companion.exists() || companion.isSymLink()) && !Sys::removeFile(path)) {
            reportReason(path);
            Brisken::Trace::error("Failed to remove exiting database %s", qUtf8Printable(path));
            return false;
        }
    }
    return true;
}

// A target that is a link stays one: the file it names is replaced, and SQLite keeps its
// companions beside that file.
bool restoreSqliteDatabase(const QString& dumpFile, const QString& target)
{
    const QString database = Sys::resolveLinks(target);
    // Run as root, the restored file goes back to the server's user, as the old one was.
    Sys::Ownership ownership;
    const QFileInfo old(database);
    const bool keepOwnership =
        Sys::runsAsRoot() && old.isFile() && Sys::readOwnership(database, ownership);
    // The old file goes first: the copy never overwrites. A failed copy after this leaves no
    // database at the target.
    if (old.exists() && !Sys::removeFile(database)) {
        reportReason(database);
        Brisken::Trace::error("Failed to remove exiting database %s", qUtf8Printable(target));
        return false;
    }
    if (!removeSqliteCompanions(database))
        return false;
    Sys::Descriptor copy;
    QString failedPath;
    if (!Sys::copyToNewFile(dumpFile, database, copy, failedPath)) {
        reportReason(failedPath);
        Brisken::Trace::error("Failed to copy file %s to %s", qUtf8Printable(dumpFile),
                              qUtf8Printable(target));
        return false;
    }
    if (keepOwnership && !Sys::applyOwnership(copy.get(), ownership, true)) {
        Brisken::Trace::error("Failed to give %s the owner and mode of the file it replaces: %s",
                              qUtf8Printable(target), qUtf8Printable(Sys::errorText(errno)));
        return false;
    }
    return flushToDisk(database, FlushScope::Entry, target)
           && flushToDisk(QFileInfo(database).absolutePath(), FlushScope::EntryAndParents,
                          QFileInfo(target).absolutePath());
}

} // namespace

// The disk writes a finished dump while the rest of the backup goes on, so that the flush
// before publishing finds it written; a failure here only leaves the work to that flush.
static void startWritingDump(const QString& dump)
{
    Sys::startWriting(dump);
}

QString backupDatabase(const ServerConfig& config, const QString& component,
                       const QString& location)
{
    if (isSqliteLocation(location)) {
        const QString source = resolvePath(config, location, true);
        const QString name = component + QStringLiteral("_dump.db");
        const QString target = config.workFolder + name;
        // A leftover file of that name fails the backup.
        QString sqliteError;
        if (createPrivateFile(target) && backupSqliteFile(source, target, sqliteError)) {
            startWritingDump(target);
            return name;
        }
        // A wait for a writer's lock cut short by a signal is no failure of its own.
        if (Interrupt::requested())
            return QString();
        if (!sqliteError.isNull())
            Brisken::Trace::error("SQLite could not back up %s: %s", qUtf8Printable(source),
                                  qUtf8Printable(sqliteError));
        Brisken::Trace::error("Failed to backup database %s at %s", qUtf8Printable(source),
                              qUtf8Printable(target));
        return QString();
    }
    if (isPostgresLocation(location)) {
        const QString name = component + QStringLiteral("_dump.sql");
        const QString target = config.workFolder + name;
        if (!createPrivateFile(target) || !dumpPostgresDatabase(location, target)) {
            // A dump stopped by a signal is no failure of its own: the procedure says why.
            if (!Interrupt::requested())
                Brisken::Trace::error("Failed to backup database %s at %s", qUtf8Printable(location),
                                  qUtf8Printable(target));
            return QString();
        }
        startWritingDump(target);
        return name;
    }
    Brisken::Trace::error("Unknown database type %s", qUtf8Printable(location));
    return QString();
}

bool describeDatabase(const ServerConfig& config, const QString& location, QString& source,
                      qint64& bytes)
{
    source = databaseTarget(config, location);
    if (isSqliteLocation(location)) {
        const QFileInfo file(source);
        if (!file.isFile()) {
            Brisken::Trace::error("File %s does not exist.", qUtf8Printable(source));
            return false;
        }
        bytes = file.size();
        return true;
    }
    if (!isPostgresLocation(location)) {
        Brisken::Trace::error("Unknown database type %s", qUtf8Printable(location));
        return false;
    }
    QSqlDatabase db = postgresConnection(location);
    QSqlQuery size(db);
    if (!db.isOpen() || !size.exec(QStringLiteral("SELECT pg_database_size(current_database())"))
        || !size.next()) {
        Brisken::Trace::error("Failed to open connection to database %s : %s",
                              qUtf8Printable(location),
                              qUtf8Printable(db.isOpen() ? size.lastError().text()
                                                         : db.lastError().text()));
        return false;
    }
    bytes = size.value(0).toLongLong();
    return true;
}

QString databaseTarget(const ServerConfig& config, const QString& location)
{
    return isSqliteLocation(location) ? resolvePath(config, location, true) : location;
}

bool checkDatabaseDump(const QString& dumpFile)
{
    QString reason = QStringLiteral("it is no database dump");
    const bool sound = isSqliteDump(dumpFile)     ? quickCheckSqliteFile(dumpFile, reason)
                       : isPostgresDump(dumpFile) ? checkDumpComplete(dumpFile, reason)
                                                  : false;
    return sound || failBackupCheck(dumpFile, reason);
}

bool checkDatabaseCompatibility(const ServerConfig& config, const QString& dumpFile,
                                const QString& location, MissingFolders missingFolders)
{
    if (isSqliteDump(dumpFile)) {
        if (isSqliteLocation(location))
            return checkDestination(config, dumpFile, location, missingFolders);
        Brisken::Trace::error(
            "Backup database is not compatible. Backup is sqlite, but target database %s is %s",
            qUtf8Printable(location), qUtf8Printable(schemeOf(location)));
        return false;
    }
    if (isPostgresDump(dumpFile)) {
        if (!isPostgresLocation(location)) {
            Brisken::Trace::error("Backup database is not compatible. Backup is postgres, but "
                                  "target database %s is %s",
                                  qUtf8Printable(location), qUtf8Printable(schemeOf(location)));
            return false;
        }
        if (!QFileInfo::exists(dumpFile)) {
            Brisken::Trace::error("File %s does not exist.", qUtf8Printable(dumpFile));
            return false;
        }
        const QSqlDatabase db = postgresConnection(location);
        if (!db.isOpen()) {
            Brisken::Trace::error("Failed to open connection to database %s : %s",
                                  qUtf8Printable(location), qUtf8Printable(db.lastError().text()));
            return false;
        }
        return checkPostgresDump(dumpFile);
    }
    Brisken::Trace::error("Unknown backup database type at %s", qUtf8Printable(dumpFile));
    return false;
}

bool restoreDatabase(const ServerConfig& config, const QString& dumpFile,
                     const QString& location)
{
    if (isSqliteDump(dumpFile))
        return restoreSqliteDatabase(dumpFile, resolvePath(config, location, true));
    if (isPostgresDump(dumpFile))
        return clearAndLoadPostgresDatabase(dumpFile, location);
    // The compatibility check refuses such names before any restore starts.
    Brisken::Trace::error("Unknown database type %s", qUtf8Printable(dumpFile));
    return false;
}

bool clearAndLoadPostgresDatabase(const QString& sqlFile, const QString& location)
{
    QList<DumpObject> objects;
    QString error;
    // The dump's own list of what it creates says what must go first.
    if (!readDumpObjects(sqlFile, objects, error)) {
        error = QStringLiteral("the dump %1: %2").arg(sqlFile, error);
    } else {
        QSqlDatabase db = postgresConnection(location);
        if (clearPostgresDatabase(db, objects, error))
            return runDatabaseTool(QStringLiteral("psql"), location, sqlFile, QStringList());
    }
    Brisken::Trace::error("Failed to remove existing data in database %s : %s",
                          qUtf8Printable(location), qUtf8Printable(error));
    return false;
}
