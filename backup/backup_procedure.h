// The --backup command: build the whole backup in a temporary folder, then move it into place.
#pragma once

#include <QString>
#include <QStringList>

class ServerConfig;

// True when the backup was made, or when there is nowhere to make it (no path, no backup
// root). On failure the backup folder keeps its earlier content and no temporary folder stays.
bool createBackup(ServerConfig& config, const QString& backupPath, const QStringList& skip,
                  const QString& serverConfigPath, bool deleteExisting);

// Copies the media library at location into config.workFolder + name after checking the
// destination; returns name, or a null string after one error line.
QString backupFolder(const ServerConfig& config, const QString& name, const QString& location);
