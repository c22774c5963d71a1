// Backup, compatibility check and restore of one database, an SQLite file or PostgreSQL.
//
// The kind comes from a prefix of the location ("sqlite://", "postgres://") or from the
// suffix of the dump's name (".db", ".sql"), always case-sensitively.
#pragma once

#include "fs/destination.h"

#include <QString>

class ServerConfig;

// Writes the dump of the database at location into config.workFolder and returns its name
// (component + "_dump.db" or "_dump.sql"); a null string and one error line on failure.
QString backupDatabase(const ServerConfig& config, const QString& component,
                       const QString& location);

// What a dry run says of the database at location before anything is written: for an SQLite
// location the file it names (resolved), for PostgreSQL the location itself; and its size in
// bytes. False, after the line the real backup would write ("Unknown database type %s") or
// one that says why it cannot be read ("File %s does not exist.", "Failed to open connection
// to database %s : %s"), when a backup of it would fail.
bool describeDatabase(const ServerConfig& config, const QString& location, QString& source,
                      qint64& bytes);

// The target a restore of location replaces: the file an SQLite location names (resolved),
// any other location as it is.
QString databaseTarget(const ServerConfig& config, const QString& location);

// Reads a new dump back once: an SQLite dump must pass quick_check, a PostgreSQL dump must end
// with pg_dump's completion line. False after "Backup check failed for %s: %s".
bool checkDatabaseDump(const QString& dumpFile);

// True when dumpFile can be restored into the database at location.
// A PostgreSQL dump must also be complete and loadable by the installed psql. An SQLite
// target's folder is checked as checkDestination does, with missingFolders.
bool checkDatabaseCompatibility(const ServerConfig& config, const QString& dumpFile,
                                const QString& location,
                                MissingFolders missingFolders = MissingFolders::Create);

// Replaces the database at location by dumpFile's data. An SQLite file loses its -wal, -shm
// and -journal companions, keeps the owner and mode of the file it replaces when run as root,
// and is flushed to disk. Nothing is rolled back on failure.
bool restoreDatabase(const ServerConfig& config, const QString& dumpFile,
                     const QString& location);

// Drops every table of the PostgreSQL database in one statement, and the other objects that
// sqlFile will create, in one transaction; then loads sqlFile with psql.
bool clearAndLoadPostgresDatabase(const QString& sqlFile, const QString& location);
