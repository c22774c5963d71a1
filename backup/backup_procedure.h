// The --backup command: build the whole backup in a temporary folder, then move it into place.
#pragma once

#include <QString>
#include <QStringList>

class ServerConfig;
struct CopyResult;

// True when the backup was made, or when there is nowhere to make it (no path, no backup
// root). On failure the backup folder keeps its earlier content and no temporary folder stays.
// With dryRun it makes only the checks that need no write and says what it would do: nothing
// is created or removed and the editor is not suspended.
bool createBackup(ServerConfig& config, const QString& backupPath, const QStringList& skip,
                  const QString& serverConfigPath, bool deleteExisting, bool dryRun = false);

// Copies the media library at location into config.workFolder + name after checking the
// destination; returns name, or a null string after one error line.
QString backupFolder(const ServerConfig& config, const QString& name, const QString& location);

// The same, hard-linking files that are unchanged since the copy in earlierLibrary (when not
// empty), stopped by a stop request without a line, and reporting the copy in result.
QString backupFolder(const ServerConfig& config, const QString& name, const QString& location,
                     const QString& earlierLibrary, CopyResult& result);
