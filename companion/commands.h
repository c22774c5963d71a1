// The commands of bw-vellacor-backups. Each writes its failures as trace lines (one line per
// failure) and returns false; the command line turns the result into the exit status.
#pragma once

#include <QString>

class ServerConfig;

// Writes the bytes to standard output; false after one error line.
bool writeStandardOutput(const QByteArray& bytes);

// The backups under root: a table, or a JSON array with --json.
bool listBackups(const QString& root, bool json);

// The Prometheus text exposition of the backups under root, to standard output when
// outputFile is empty, else into outputFile, replaced atomically (readable by all: the
// textfile collector runs as another user).
bool writeMetrics(const QString& root, const QString& outputFile);

// Every check a restore makes before it replaces anything, and then a full read of every
// entry: SQLite's integrity_check of SQLite dumps, each media file read whole and compared
// with the media library, and with loadPostgres each PostgreSQL dump loaded into a scratch
// database. True when the backup is sound; every problem has its line.
bool verifyBackup(ServerConfig& config, const QString& backupPath, bool loadPostgres);

// Removes all but the newest keep complete backups under root, one line per folder; with
// dryRun it only says what it would remove. Removal never follows a link.
bool pruneBackups(const QString& root, int keep, bool dryRun);

// How many restic snapshots forget keeps, per period.
struct KeepPolicy {
    int daily = 7;
    int weekly = 4;
    int monthly = 6;
};

// Copies the newest complete backup under root into the restic repository that restic's own
// environment names (created on first use), then forgets snapshots beyond policy. Each restic
// run may take timeoutS seconds.
bool copyOffsite(const QString& root, const KeepPolicy& policy, int timeoutS);
