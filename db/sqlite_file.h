// SQLite's own online backup and integrity check, for the dumps of SQLite databases.
#pragma once

#include <QString>

// Copies the database at sourceFile, in one step, into targetFile, an existing empty file: a
// consistent snapshot holding every committed transaction, those still in a write-ahead log
// too. The source is opened read-only; a writer's lock is waited for up to 10 seconds, less
// when a stop is requested. False with SQLite's message in error when SQLite refuses.
bool backupSqliteFile(const QString& sourceFile, const QString& targetFile, QString& error);

// Runs SQLite's quick_check on file without locking it or creating anything beside it. False
// with the reason when the file is not a sound database.
bool quickCheckSqliteFile(const QString& file, QString& reason);

// The same with SQLite's integrity_check, which also reads every index against its table:
// slower, for a verification that has the time.
bool integrityCheckSqliteFile(const QString& file, QString& reason);
