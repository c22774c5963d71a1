// What a command would do, said without doing it: the plan of a --dry-run.
#include "backup/dry_run.h"

#include "backup/components.h"
#include "db/database.h"
#include "fs/destination.h"
#include "fs/folder_ops.h"
#include "platform/brisken/trace.h"
#include "report/size_text.h"
#include "server/server_config.h"

#include <QFileInfo>

namespace {

// The backup folder's creation and permission as the real backup finds them, judged without
// making anything: a missing folder can be made where the nearest existing one above it is a
// writable folder.
bool judgeBackupFolder(const QString& folder)
{
    const QFileInfo existing(nearestExisting(folder));
    if (!existing.isDir() || (existing.filePath() != folder && !existing.isWritable())) {
        Brisken::Trace::error("Failed to create a backup folder %s", qUtf8Printable(folder));
        return false;
    }
    if (!existing.isWritable()) {
        Brisken::Trace::error("User does not have permission to write to %s",
                              qUtf8Printable(folder));
        return false;
    }
    return true;
}

// The source of one component and its size, after the checks that need no write.
bool describeSource(const ServerConfig& config, const BackupComponent& component,
                    const QString& backupFolderPath, QString& source, qint64& bytes)
{
    const QString location = config.*component.location;
    if (!component.isMediaLibrary())
        return describeDatabase(config, location, source, bytes);
    source = resolvePath(config, location, true);
    const QString destination = backupFolderPath + QLatin1Char('/') + QLatin1String(component.key);
    if (!checkDestination(config, source, destination, MissingFolders::Judge))
        return false;
    bytes = folderSize(source);
    return true;
}

} // namespace

bool planBackup(const ServerConfig& config, const QString& backupFolderPath,
                const QStringList& skip)
{
    if (!judgeBackupFolder(backupFolderPath))
        return false;
    QStringList plan;
    for (const BackupComponent& component : backupComponents) {
        if (skip.contains(QLatin1String(component.key))) {
            Brisken::Trace::info("%s", component.backupSkipLine);
            continue;
        }
        QString source;
        qint64 bytes = 0;
        if (!describeSource(config, component, backupFolderPath, source, bytes))
            return false;
        plan << QStringLiteral("Dry run: would back up %1 from %2 (%3)")
                    .arg(QLatin1String(component.key), source, formatSize(bytes));
    }
    if (plan.isEmpty()) {
        Brisken::Trace::error("No components selected for backup.");
        return false;
    }
    for (const QString& line : plan)
        Brisken::Trace::info("%s", qUtf8Printable(line));
    Brisken::Trace::info("Dry run: would write the backup to %s", qUtf8Printable(backupFolderPath));
    return true;
}

void planRestore(const ServerConfig& config, const QMap<QString, QString>& restorePlan)
{
    for (const BackupComponent& component : backupComponents) {
        const QString entry = restorePlan.value(QLatin1String(component.key));
        if (entry.isNull())
            continue;
        const QString location = config.*component.location;
        const QString target = component.isMediaLibrary() ? resolvePath(config, location, true)
                                                          : databaseTarget(config, location);
        Brisken::Trace::info("Dry run: would restore %s from %s to %s", component.key,
                             qUtf8Printable(entry), qUtf8Printable(target));
    }
}

bool reportNothingChanged()
{
    Brisken::Trace::info("Dry run: nothing was changed");
    return true;
}
