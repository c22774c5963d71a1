// The --restore command: check everything that can be checked, then replace the data.
#include "backup/restore_procedure.h"

#include "platform/brisken/trace.h"
#include "server/server_config.h"

bool restoreBackup(ServerConfig& config, const QString&, const QStringList&,
                   const QString& serverConfigPath)
{
    Brisken::Trace::info("Restoring a backup of Vellacor data");
    if (!config.readServerConfiguration(serverConfigPath))
        return false;
    // TODO(issue 6): the restore itself.
    Brisken::Trace::error("The restore command is not available yet.");
    return false;
}
