// Retention: keeps the newest complete backups under the backup root and removes the older
// ones. Only complete backups of the default name are ever removed; a folder that is
// incomplete, still being written, a link or of another name stays for the administrator.
#include "companion/backup_scan.h"
#include "companion/commands.h"

#include "fs/folder_ops.h"
#include "platform/brisken/trace.h"

bool pruneBackups(const QString& root, int keep, bool dryRun)
{
    QList<BackupEntry> complete;
    for (const BackupEntry& backup : findBackups(root)) {
        if (backup.complete)
            complete << backup;
    }
    bool removedAll = true;
    for (int i = 0; i < complete.size() - keep; ++i) {
        const QString& path = complete.at(i).path;
        if (dryRun) {
            Brisken::Trace::info("Would remove %s", qUtf8Printable(path));
        } else if (removeFolderTree(path)) {
            Brisken::Trace::info("Removed %s", qUtf8Printable(path));
        } else {
            Brisken::Trace::error("Failed to remove folder %s", qUtf8Printable(path));
            removedAll = false;
        }
    }
    return removedAll;
}
