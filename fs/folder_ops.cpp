// Folder walks over the media library and the backup folder: copy, size, clear, restore.
#include "fs/folder_ops.h"

// TODO(issue 4): implement.
QFileInfoList listEntries(const QString&) { return {}; }
const QStringList& backupEntryNames() { static const QStringList names; return names; }
bool copyFolder(const QString&, const QString&) { return false; }
qint64 folderSize(const QString&) { return 0; }
bool containsBackupEntries(const QString&) { return false; }
bool removeBackupEntries(const QString&) { return false; }
bool restoreFolder(const ServerConfig&, const QString&, const QString&) { return false; }
