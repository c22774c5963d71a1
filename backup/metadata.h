// The backup folder's metadata file: written last by a backup, read first by a restore.
#pragma once

#include "fs/destination.h"

#include <QMap>
#include <QString>
#include <QStringList>

class ServerConfig;

// The name of the metadata file in a backup folder; written last, so its presence is what
// makes a backup complete.
extern const QString metadataFileName;

// Writes config.workFolder + "bw-vellacor-backup-metadata.json" with the version, the time
// and one {"file": name} object per entry of componentFiles.
bool writeBackupMetadata(const ServerConfig& config, const QMap<QString, QString>& componentFiles);

// Makes the backup at backupPath (as given; a relative path is taken against the current
// folder) the work folder to read from. False after "Backup path %s does not exist." or
// "Backup path %s is not readable.".
bool useBackupFolder(ServerConfig& config, const QString& backupPath);

// Reads and validates the metadata in config.workFolder, applies the version rule and the skip
// list, checks each remaining component against its target and fills restorePlan with the
// paths to restore from. False, after one error line, when the backup cannot be restored.
// With MissingFolders::Judge it writes nothing (a verification or a dry run): a missing target
// folder is judged by the folder above it instead of being made.
bool loadBackupData(ServerConfig& config, const QStringList& skip,
                    QMap<QString, QString>& restorePlan,
                    MissingFolders missingFolders = MissingFolders::Create);
