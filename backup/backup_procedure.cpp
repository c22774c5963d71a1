// The --backup command: build the whole backup in a temporary folder, then move it into place.
#include "backup/backup_procedure.h"

#include "backup/components.h"
#include "backup/dry_run.h"
#include "backup/guards.h"
#include "backup/metadata.h"
#include "backup/replace_step.h"
#include "db/database.h"
#include "fs/destination.h"
#include "fs/failure_lines.h"
#include "fs/folder_ops.h"
#include "platform/brisken/trace.h"
#include "platform/vellacor/vellacor.h"
#include "server/server_config.h"
#include "sys/files.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMap>

namespace {

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

// A backup that finished: its metadata file, written last, is there and is no link.
bool isCompleteBackup(const QString& folder)
{
    const QFileInfo metadata(folder + QLatin1Char('/') + metadataFileName);
    return metadata.isFile() && !metadata.isSymLink();
}

// The media library of the newest complete backup that a new one can share unchanged files
// with: the backup being replaced (with --delete), else the newest earlier backup under the
// backup root made with the default folder name. Empty when there is none.
QString earlierMediaLibrary(const ServerConfig& config, const QString& backupFolderPath,
                            bool deleteExisting, bool defaultFolder)
{
    const QString own = backupFolderPath + QStringLiteral("/assets");
    if (deleteExisting && isCompleteBackup(backupFolderPath) && QFileInfo(own).isDir()
        && !QFileInfo(own).isSymLink())
        return own;
    if (!defaultFolder)
        return QString();
    const QDir root(resolvePath(config, config.backupRoot, true));
    QString newest;
    qint64 newestMs = -1;
    for (const QString& name : root.entryList(QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot)) {
        const qint64 madeMs = name.section(QLatin1Char('_'), 0, 0).toLongLong();
        const QString library = root.filePath(name) + QStringLiteral("/assets");
        if (!isDefaultFolderName(name) || madeMs <= newestMs
            || !isCompleteBackup(root.filePath(name)) || !QFileInfo(library).isDir()
            || QFileInfo(library).isSymLink())
            continue;
        newestMs = madeMs;
        newest = library;
    }
    return newest;
}

// A backup without --backup-path treats the other folders of its kind under the backup root as
// its own: what a killed nightly run left there is finished or removed, and a folder that then
// holds nothing goes too.
bool finishInterruptedNightlyBackups(const ServerConfig& config, const QString& ownFolder)
{
    const QString root = resolvePath(config, config.backupRoot, true);
    const NamedFolder rootFolder{root, Sys::resolveLinks(root)};
    const QFileInfo own(ownFolder);
    const QStringList names = QDir(rootFolder.real)
                                  .entryList(QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot,
                                             QDir::Name);
    for (const QString& name : names) {
        if (isDefaultFolderName(name) && name != own.fileName()
            && !finishInterruptedBackups(rootFolder.child(name), true))
            return false;
    }
    return true;
}

// A default-named folder that this run made goes again when the run fails and leaves it empty.
struct FolderMadeForBackup {
    QString path;
    bool succeeded = false;
    ~FolderMadeForBackup()
    {
        if (!path.isEmpty() && !succeeded)
            QDir().rmdir(path);
    }
};

QString backupComponent(ServerConfig& config, const BackupComponent& component,
                        const QString& earlierLibrary, CopyResult& mediaCopy)
{
    const QString key = QString::fromLatin1(component.key);
    if (component.isMediaLibrary())
        return backupFolder(config, key, config.*component.location, earlierLibrary, mediaCopy);
    return backupDatabase(config, key, config.*component.location);
}

// Reads every new entry back once before it is published: a dump that cannot be restored
// must not replace a backup that can.
bool checkNewEntries(const ServerConfig& config, const QMap<QString, QString>& componentFiles,
                     const CopyResult& mediaCopy)
{
    for (auto it = componentFiles.cbegin(); it != componentFiles.cend(); ++it) {
        const QString path = config.workFolder + it.value();
        if (it.key() != QLatin1String("assets")) {
            if (!checkDatabaseDump(path))
                return false;
        } else if (!mediaCopy.sizeMismatchFile.isEmpty()) {
            return failBackupCheck(path + QLatin1Char('/') + mediaCopy.sizeMismatchFile,
                                   QStringLiteral("the copy holds %1 bytes, but the file held %2 "
                                                  "when it was opened (it changed during the copy)")
                                       .arg(mediaCopy.sizeCopied)
                                       .arg(mediaCopy.sizeWhenOpened));
        }
    }
    return true;
}

} // namespace

bool createBackup(ServerConfig& config, const QString& backupPath, const QStringList& skip,
                  const QString& serverConfigPath, bool deleteExisting, bool dryRun)
{
    Brisken::Trace::info("Creating a backup of Vellacor data");
    if (!config.readServerConfiguration(serverConfigPath))
        return false;
    Sys::FolderLock installationLock;
    if (!lockInstallation(config, installationLock))
        return false;

    const QString folder = chooseBackupFolder(config, backupPath);
    if (folder.isNull()) {
        Brisken::Trace::info("Unable to make backup of Vellacor data: No backup path defined in "
                             "server configuration or arguments.");
        return !dryRun || reportNothingChanged();
    }
    if (!skip.contains(QStringLiteral("assets")) && !checkMediaLibrary(config))
        return false;
    const auto conflicts = [&folder, deleteExisting] {
        if (deleteExisting || !QFileInfo::exists(folder) || !containsBackupEntries(folder))
            return false;
        Brisken::Trace::error("Backup path %s contains data with conflicting names. Please remove "
                              "existing data or enable --delete to allow backup process to delete "
                              "folder contents.",
                              qUtf8Printable(folder));
        return true;
    };
    if (conflicts())
        return false;
    if (dryRun)
        return planBackup(config, folder, skip) && reportNothingChanged();
    FolderMadeForBackup made;
    if (backupPath.isEmpty() && !QFileInfo::exists(folder))
        made.path = folder;
    if (!QDir().mkpath(folder)) {
        Brisken::Trace::error("Failed to create a backup folder %s", qUtf8Printable(folder));
        return false;
    }
    if (!QFileInfo(folder).isWritable()) {
        Brisken::Trace::error("User does not have permission to write to %s",
                              qUtf8Printable(folder));
        return false;
    }
    // From here the work applies to what the path names, should it be a link; messages name
    // the path as given.
    const NamedFolder destination{folder, Sys::resolveLinks(folder)};
    // A backup that an interrupted run finishes here is one that only --delete may replace.
    if (interruptedAtSafePoint() || !finishInterruptedBackups(destination) || conflicts()
        || (backupPath.isEmpty() && !finishInterruptedNightlyBackups(config, folder)))
        return false;

    WorkFolder work;
    if (!work.create(destination))
        return false;
    config.workFolder = work.folder().shown + QLatin1Char('/');

    // The editor stays suspended only while the data is copied. A failure or a stop leaves it
    // suspended here; the ServerConfig resumes it when the command ends.
    if (config.connectToServer())
        config.suspendServer();
    if (interruptedAtSafePoint())
        return false;

    const QString earlierLibrary =
        earlierMediaLibrary(config, destination.real, deleteExisting, backupPath.isEmpty());
    QMap<QString, QString> componentFiles;
    CopyResult mediaCopy;
    for (const BackupComponent& component : backupComponents) {
        if (skip.contains(QString::fromLatin1(component.key))) {
            Brisken::Trace::info("%s", component.backupSkipLine);
            continue;
        }
        const QString entry = backupComponent(config, component, earlierLibrary, mediaCopy);
        if (interruptedAtSafePoint() || entry.isEmpty())
            return false;
        componentFiles.insert(QString::fromLatin1(component.key), entry);
    }
    config.resumeServer();

    if (componentFiles.isEmpty()) {
        Brisken::Trace::error("No components selected for backup.");
        return false;
    }
    if (!checkNewEntries(config, componentFiles, mediaCopy)
        || !writeBackupMetadata(config, componentFiles))
        return false;

    // The last safe point. The earlier backup is replaced only now: until the new one is
    // complete in the temporary folder, a failure must leave the earlier backup as it was; from
    // here on, the backup is finished rather than left half-replaced.
    if (interruptedAtSafePoint() || !publishBackup(work, destination))
        return false;

    Brisken::Trace::info("Created a backup of Vellacor data in %s", qUtf8Printable(folder));
    made.succeeded = true;
    return true;
}

QString backupFolder(const ServerConfig& config, const QString& name, const QString& location)
{
    CopyResult result;
    return backupFolder(config, name, location, QString(), result);
}

QString backupFolder(const ServerConfig& config, const QString& name, const QString& location,
                     const QString& earlierLibrary, CopyResult& result)
{
    const QString source = resolvePath(config, location, true);
    const QString destination = config.workFolder + name;
    // The check's listing of the library leads the copy: the tree is read once.
    TreeListing listing;
    if (!checkDestination(config, source, destination, MissingFolders::Create, &listing))
        return QString();
    CopyOptions options;
    options.stopWhenRequested = true;
    options.linkFromFolder = earlierLibrary;
    options.listing = &listing;
    if (!copyFolder(source, destination, options, result)) {
        // A stopped copy is no failure of its own: the procedure says why it ended.
        if (!result.stopped)
            Brisken::Trace::error("Failed to backup folder %s at %s", qUtf8Printable(source),
                                  qUtf8Printable(destination));
        return QString();
    }
    if (result.linkedFiles > 0)
        Brisken::Trace::info("Linked %lld unchanged media files from the earlier backup in %s, "
                             "copied %lld",
                             result.linkedFiles, qUtf8Printable(earlierLibrary),
                             result.copiedFiles);
    // What the listing leaves out is not in the backup: the administrator should know.
    if (result.leftOutEntries > 0)
        Brisken::Trace::warning("%d entries of the media library were left out (hidden names, "
                                "symbolic links or special files), such as %s",
                                result.leftOutEntries,
                                qUtf8Printable(source + QLatin1Char('/') + result.firstLeftOut));
    return name;
}
