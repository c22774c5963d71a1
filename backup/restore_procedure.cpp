// The --restore command: check everything that can be checked, then replace the data.
#include "backup/restore_procedure.h"

#include "backup/metadata.h"
#include "db/database.h"
#include "fs/folder_ops.h"
#include "platform/brisken/trace.h"
#include "server/server_config.h"

#include <QFileInfo>
#include <QMap>

bool restoreBackup(ServerConfig& config, const QString& backupPath, const QStringList& skip,
                   const QString& serverConfigPath)
{
    Brisken::Trace::info("Restoring a backup of Vellacor data");
    if (!config.readServerConfiguration(serverConfigPath))
        return false;

    const QFileInfo backupInfo(backupPath);
    if (!backupInfo.exists()) {
        Brisken::Trace::error("Backup path %s does not exist.", qUtf8Printable(backupPath));
        return false;
    }
    if (!backupInfo.isReadable()) {
        Brisken::Trace::error("Backup path %s is not readable.", qUtf8Printable(backupPath));
        return false;
    }
    config.workFolder = backupPath + QLatin1Char('/');

    // A running server would write into the data while it is being replaced.
    if (config.connectToServer()) {
        Brisken::Trace::error("Vellacor server is running, please shut down Vellacor server and "
                              "client before restoring a backup");
        config.controlSocket.close();
        return false;
    }

    // Every component is checked before the first one is replaced.
    QMap<QString, QString> restorePlan;
    if (!loadBackupData(config, skip, restorePlan)) {
        Brisken::Trace::error("Failed to load Vellacor backup data from %s",
                              qUtf8Printable(backupPath));
        return false;
    }
    if (restorePlan.isEmpty()) {
        Brisken::Trace::error("No components selected for restore.");
        return false;
    }

    const QString db = QStringLiteral("db");
    const QString reporting = QStringLiteral("reporting");
    const QString assets = QStringLiteral("assets");
    if (restorePlan.contains(db)
        && !restoreDatabase(config, restorePlan.value(db), config.databaseLocation))
        return false;
    if (restorePlan.contains(reporting)
        && !restoreDatabase(config, restorePlan.value(reporting), config.reportingDatabaseLocation))
        return false;
    if (restorePlan.contains(assets)
        && !restoreFolder(config, restorePlan.value(assets), config.assetRoot))
        return false;

    Brisken::Trace::info("Restored a backup of Vellacor data from %s", qUtf8Printable(backupPath));
    return true;
}
