// The --backup command: build the whole backup in a temporary folder, then move it into place.
#include "backup/backup_procedure.h"

#include "platform/brisken/trace.h"
#include "server/server_config.h"

bool createBackup(ServerConfig& config, const QString&, const QStringList&,
                  const QString& serverConfigPath, bool)
{
    Brisken::Trace::info("Creating a backup of Vellacor data");
    if (!config.readServerConfiguration(serverConfigPath))
        return false;
    // TODO(issue 6): the backup itself.
    Brisken::Trace::error("The backup command is not available yet.");
    return false;
}

QString backupFolder(const ServerConfig&, const QString&, const QString&) { return QString(); }
