// The backups that bw-vellacor-ctl made under a backup root, as the companion's commands see
// them: which are complete, which are still being written, and in what order they were made.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class ServerConfig;

struct BackupEntry {
    QString path;       // the backup folder
    QString name;       // <ms>_<yyyy_MM_dd>_<version>_vellacor-backup
    qint64 timeMs = 0;  // the <ms> of the name: when the backup was made
    // A complete backup holds its metadata file as a regular file and no temporary folder of a
    // backup: only such a backup is counted, pruned or copied offsite.
    bool complete = false;
    bool inProgress = false; // a running backup holds the lock of a temporary folder in it
    QString version;         // from the metadata file; empty when it cannot be read
    QStringList components;  // the components the metadata file names, in the fixed order
};

// The backup root: root when given, else the configured backup_root (read through
// config.readServerConfiguration(serverConfigPath)), made absolute and clean. A null string
// after one error line when there is none or it is not a folder.
QString findBackupRoot(ServerConfig& config, const QString& root, const QString& serverConfigPath);

// The folders directly under root whose names are the default backup folder name, oldest
// first (by <ms>, then by name). Links are never listed, so nothing is followed out of root.
QList<BackupEntry> findBackups(const QString& root);

// The newest complete backup of backups (oldest first); its path is empty when there is none.
BackupEntry newestComplete(const QList<BackupEntry>& backups);
