// The --restore command: check everything that can be checked, then replace the data.
#pragma once

#include <QString>
#include <QStringList>

class ServerConfig;

// Refuses a running server, an unreadable backup or one from a newer version before any data
// is touched; then restores db, reporting and assets in that order, stopping at the first
// failure (components restored before it stay restored).
// With dryRun it stops after the checks, which then write nothing, and says what it would
// restore.
bool restoreBackup(ServerConfig& config, const QString& backupPath, const QStringList& skip,
                   const QString& serverConfigPath, bool dryRun = false);
