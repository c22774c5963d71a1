// The backup folder's metadata file: written last by a backup, read first by a restore.
#include "backup/metadata.h"

// TODO(issue 6): implement.
const QStringList& backupComponentKeys() { static const QStringList keys; return keys; }
bool writeBackupMetadata(const ServerConfig&, const QMap<QString, QString>&) { return false; }
bool loadBackupData(ServerConfig&, const QStringList&, QMap<QString, QString>&) { return false; }
