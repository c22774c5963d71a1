// The --restore command: check everything that can be checked, then replace the data.
#include "backup/restore_procedure.h"

#include "backup/components.h"
#include "backup/dry_run.h"
#include "backup/guards.h"
#include "backup/metadata.h"
#include "db/database.h"
#include "fs/folder_ops.h"
#include "platform/brisken/trace.h"
#include "server/server_config.h"
#include "sys/files.h"

#include <QMap>

namespace {

// The refilled media library reaches stable storage before the restore is reported: the
// folder it names, should asset_root be a link.
bool restoreMediaLibrary(const ServerConfig& config, const QString& sourceFolder)
{
    if (!restoreFolder(config, sourceFolder, config.assetRoot))
        return false;
    const QString library = resolvePath(config, config.assetRoot, true);
    return flushToDisk(Sys::resolveLinks(library), FlushScope::Tree, library);
}

} // namespace

bool restoreBackup(ServerConfig& config, const QString& backupPath, const QStringList& skip,
                   const QString& serverConfigPath, bool dryRun)
{
    Brisken::Trace::info("Restoring a backup of Vellacor data");
    if (!config.readServerConfiguration(serverConfigPath))
        return false;
    Sys::FolderLock installationLock;
    if (!lockInstallation(config, installationLock))
        return false;

    if (!useBackupFolder(config, backupPath))
        return false;

    // A running server would write into the data while it is being replaced.
    if (config.connectToServer()) {
        Brisken::Trace::error("Vellacor server is running, please shut down Vellacor server and "
                              "client before restoring a backup");
        config.controlSocket.close();
        return false;
    }

    // Every component is checked before the first one is replaced.
    QMap<QString, QString> restorePlan;
    if (!loadBackupData(config, skip, restorePlan,
                        dryRun ? MissingFolders::Judge : MissingFolders::Create)) {
        Brisken::Trace::error("Failed to load Vellacor backup data from %s",
                              qUtf8Printable(backupPath));
        return false;
    }
    if (restorePlan.isEmpty()) {
        Brisken::Trace::error("No components selected for restore.");
        return false;
    }
    if (dryRun) {
        planRestore(config, restorePlan);
        return reportNothingChanged();
    }

    // A stop request lets the component in progress finish: the safe points lie between
    // the components, never inside one.
    if (interruptedAtSafePoint())
        return false;
    for (const BackupComponent& component : backupComponents) {
        const QString entry = restorePlan.value(QString::fromLatin1(component.key));
        if (entry.isNull())
            continue;
        const bool restored = component.isMediaLibrary()
                                  ? restoreMediaLibrary(config, entry)
                                  : restoreDatabase(config, entry, config.*component.location);
        if (!restored || interruptedAtSafePoint())
            return false;
    }

    Brisken::Trace::info("Restored a backup of Vellacor data from %s", qUtf8Printable(backupPath));
    return true;
}
