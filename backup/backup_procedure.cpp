// The --backup command: build the whole backup in a temporary folder, then move it into place.
#include "backup/backup_procedure.h"

#include "backup/metadata.h"
#include "db/database.h"
#include "fs/destination.h"
#include "fs/folder_ops.h"
#include "platform/brisken/trace.h"
#include "platform/vellacor/vellacor.h"
#include "server/server_config.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

namespace {

struct ComponentSource {
    const char* key;
    const char* skipLine;
    QString ServerConfig::*location;
};

const ComponentSource componentSources[] = {
    {"db", "Skipping main database in backup.", &ServerConfig::databaseLocation},
    {"reporting", "Skipping reporting database in backup.",
     &ServerConfig::reportingDatabaseLocation},
    {"assets", "Skipping media library in backup.", &ServerConfig::assetRoot},
};

QString defaultFolderName()
{
    // One reading of the clock, so the milliseconds and the date cannot disagree at midnight.
    const QDateTime now = QDateTime::currentDateTime();
    return QStringLiteral("%1_%2_%3_vellacor-backup")
        .arg(now.toMSecsSinceEpoch())
        .arg(now.toString(QStringLiteral("yyyy_MM_dd")))
        .arg(Vellacor::Vellacor::version());
}

// The backup folder: the given path, or a new folder under the configured backup root.
// Null when there is neither.
QString chooseBackupFolder(const ServerConfig& config, const QString& backupPath)
{
    if (!backupPath.isEmpty())
        return resolvePath(config, backupPath, false);
    if (config.backupRoot.isEmpty())
        return QString();
    return resolvePath(config, config.backupRoot, true) + QLatin1Char('/') + defaultFolderName();
}

QString backupComponent(ServerConfig& config, const ComponentSource& component)
{
    const QString key = QString::fromLatin1(component.key);
    if (key == QLatin1String("assets"))
        return backupFolder(config, key, config.*component.location);
    return backupDatabase(config, key, config.*component.location);
}

bool moveEntriesIntoPlace(const QString& workFolder, const QString& backupFolderPath)
{
    for (const QFileInfo& entry : listEntries(workFolder)) {
        const QString target = backupFolderPath + QLatin1Char('/') + entry.fileName();
        if (!QDir().rename(entry.absoluteFilePath(), target)) {
            Brisken::Trace::error("Failed to move %s to %s",
                                  qUtf8Printable(entry.absoluteFilePath()), qUtf8Printable(target));
            Brisken::Trace::error("Failed to move temporary backup data from %s to %s",
                                  qUtf8Printable(workFolder), qUtf8Printable(backupFolderPath));
            return false;
        }
    }
    return true;
}

} // namespace

bool createBackup(ServerConfig& config, const QString& backupPath, const QStringList& skip,
                  const QString& serverConfigPath, bool deleteExisting)
{
    Brisken::Trace::info("Creating a backup of Vellacor data");
    if (!config.readServerConfiguration(serverConfigPath))
        return false;

    const QString folder = chooseBackupFolder(config, backupPath);
    if (folder.isNull()) {
        Brisken::Trace::info("Unable to make backup of Vellacor data: No backup path defined in "
                             "server configuration or arguments.");
        return true;
    }
    if (!deleteExisting && QFileInfo::exists(folder) && containsBackupEntries(folder)) {
        Brisken::Trace::error("Backup path %s contains data with conflicting names. Please remove "
                              "existing data or enable --delete to allow backup process to delete "
                              "folder contents.",
                              qUtf8Printable(folder));
        return false;
    }
    if (!QDir().mkpath(folder)) {
        Brisken::Trace::error("Failed to create a backup folder %s", qUtf8Printable(folder));
        return false;
    }
    if (!QFileInfo(folder).isWritable()) {
        Brisken::Trace::error("User does not have permission to write to %s",
                              qUtf8Printable(folder));
        return false;
    }

    // Removed with whatever it still holds on every way out from here.
    QTemporaryDir temporaryFolder(folder + QStringLiteral("/vellacor-backup-tmp"));
    if (!temporaryFolder.isValid()) {
        Brisken::Trace::error("Failed to create a temporary folder for backup data in %s. %s",
                              qUtf8Printable(folder), qUtf8Printable(temporaryFolder.errorString()));
        return false;
    }
    config.workFolder = temporaryFolder.path() + QLatin1Char('/');

    // The editor stays suspended only while the data is copied.
    if (config.connectToServer())
        config.suspendServer();

    QMap<QString, QString> componentFiles;
    for (const ComponentSource& component : componentSources) {
        if (skip.contains(QString::fromLatin1(component.key))) {
            Brisken::Trace::info("%s", component.skipLine);
            continue;
        }
        // A failure leaves the editor suspended; the ServerConfig resumes it at exit.
        const QString entry = backupComponent(config, component);
        if (entry.isEmpty())
            return false;
        componentFiles.insert(QString::fromLatin1(component.key), entry);
    }
    config.resumeServer();

    if (componentFiles.isEmpty()) {
        Brisken::Trace::error("No components selected for backup.");
        return false;
    }
    if (!writeBackupMetadata(config, componentFiles))
        return false;

    // The old entries go only now: until the new backup is complete in the temporary
    // folder, a failure must leave the earlier backup as it was.
    if (!removeBackupEntries(folder)) {
        Brisken::Trace::error("Failed to remove existing data in %s", qUtf8Printable(folder));
        return false;
    }
    if (!moveEntriesIntoPlace(config.workFolder, folder))
        return false;

    Brisken::Trace::info("Created a backup of Vellacor data in %s", qUtf8Printable(folder));
    return true;
}

QString backupFolder(const ServerConfig& config, const QString& name, const QString& location)
{
    const QString source = resolvePath(config, location, true);
    const QString destination = config.workFolder + name;
    if (!checkDestination(config, source, destination))
        return QString();
    if (!copyFolder(source, destination)) {
        Brisken::Trace::error("Failed to backup folder %s at %s", qUtf8Printable(source),
                              qUtf8Printable(destination));
        return QString();
    }
    return name;
}
