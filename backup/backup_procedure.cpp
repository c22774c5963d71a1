// The --backup command: build the whole backup in a temporary folder, then move it into place.
#include "backup/backup_procedure.h"

#include "backup/components.h"
#include "backup/dry_run.h"
#include "backup/guards.h"
#include "backup/metadata.h"
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
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>

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

const QString temporaryFolderPrefix = QStringLiteral("vellacor-backup-tmp");

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
    static const QRegularExpression defaultName(QStringLiteral("^(\\d+)_\\d{4}_\\d\\d_\\d\\d_.*_vellacor-backup$"));
    const QDir root(resolvePath(config, config.backupRoot, true));
    QString newest;
    qint64 newestMs = -1;
    for (const QString& name : root.entryList(QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot)) {
        const QRegularExpressionMatch match = defaultName.match(name);
        const QString library = root.filePath(name) + QStringLiteral("/assets");
        if (!match.hasMatch() || match.captured(1).toLongLong() <= newestMs
            || !isCompleteBackup(root.filePath(name)) || !QFileInfo(library).isDir()
            || QFileInfo(library).isSymLink())
            continue;
        newestMs = match.captured(1).toLongLong();
        newest = library;
    }
    return newest;
}

// Removes the temporary folders of backups that ended without cleaning up (a SIGKILL, a power
// loss). A running backup holds the lock of its own, so its folder is left alone.
bool removeStaleTemporaryFolders(const QString& backupFolderPath)
{
    const QDir folder(backupFolderPath);
    const QFileInfoList candidates = folder.entryInfoList(
        {temporaryFolderPrefix + QLatin1Char('*')},
        QDir::Dirs | QDir::NoSymLinks | QDir::Hidden | QDir::NoDotAndDotDot | QDir::CaseSensitive);
    for (const QFileInfo& candidate : candidates) {
        Sys::FolderLock lock;
        if (!lock.tryLock(candidate.absoluteFilePath()))
            continue;
        if (!removeFolderTree(candidate.absoluteFilePath())) {
            Brisken::Trace::error("Failed to remove folder %s",
                                  qUtf8Printable(candidate.absoluteFilePath()));
            return false;
        }
        Brisken::Trace::info("Removed temporary folder %s left by an interrupted backup",
                             qUtf8Printable(candidate.absoluteFilePath()));
    }
    return true;
}

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

bool reportFailedMove(const QString& entryPath, const QString& target, const QString& workFolder,
                      const QString& backupFolderPath)
{
    Brisken::Trace::error("Failed to move %s to %s", qUtf8Printable(entryPath),
                          qUtf8Printable(target));
    Brisken::Trace::error("Failed to move temporary backup data from %s to %s",
                          qUtf8Printable(workFolder), qUtf8Printable(backupFolderPath));
    return false;
}

// The metadata file goes last: a backup folder whose moves broke off holds no metadata, so
// nothing takes it for a complete backup.
QFileInfoList entriesToMove(const QString& workFolder)
{
    QFileInfoList entries = listEntries(workFolder);
    std::stable_partition(entries.begin(), entries.end(), [](const QFileInfo& entry) {
        return entry.fileName() != metadataFileName;
    });
    return entries;
}

// An entry that clearing the backup folder leaves in place (a dangling link, a special file)
// would stop a move halfway; it is found before the earlier backup is touched.
bool checkNothingInTheWay(const QString& workFolder, const QString& backupFolderPath)
{
    for (const QFileInfo& entry : entriesToMove(workFolder)) {
        const QString target = backupFolderPath + QLatin1Char('/') + entry.fileName();
        const QFileInfo existing(target);
        const bool inTheWay = existing.isSymLink()
                                  ? !existing.exists()
                                  : existing.exists() && !existing.isFile() && !existing.isDir();
        if (inTheWay)
            return reportFailedMove(entry.absoluteFilePath(), target, workFolder,
                                    backupFolderPath);
    }
    return true;
}

// Renames never follow or replace anything in the way, a link included: such an entry fails
// the move instead of letting the data land outside the backup folder.
bool moveEntriesIntoPlace(const QString& workFolder, const QString& backupFolderPath)
{
    for (const QFileInfo& entry : entriesToMove(workFolder)) {
        const QString target = backupFolderPath + QLatin1Char('/') + entry.fileName();
        if (!Sys::renameNoReplace(entry.absoluteFilePath(), target))
            return reportFailedMove(entry.absoluteFilePath(), target, workFolder,
                                    backupFolderPath);
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
    if (!deleteExisting && QFileInfo::exists(folder) && containsBackupEntries(folder)) {
        Brisken::Trace::error("Backup path %s contains data with conflicting names. Please remove "
                              "existing data or enable --delete to allow backup process to delete "
                              "folder contents.",
                              qUtf8Printable(folder));
        return false;
    }
    if (dryRun)
        return planBackup(config, folder, skip) && reportNothingChanged();
    if (!QDir().mkpath(folder)) {
        Brisken::Trace::error("Failed to create a backup folder %s", qUtf8Printable(folder));
        return false;
    }
    if (!QFileInfo(folder).isWritable()) {
        Brisken::Trace::error("User does not have permission to write to %s",
                              qUtf8Printable(folder));
        return false;
    }
    if (interruptedAtSafePoint() || !removeStaleTemporaryFolders(folder))
        return false;

    // Removed with whatever it still holds on every way out from here, while still locked, so
    // that another backup never takes it for a leftover.
    Sys::FolderLock temporaryLock;
    QTemporaryDir temporaryFolder(folder + QLatin1Char('/') + temporaryFolderPrefix);
    if (!temporaryFolder.isValid()) {
        Brisken::Trace::error("Failed to create a temporary folder for backup data in %s. %s",
                              qUtf8Printable(folder), qUtf8Printable(temporaryFolder.errorString()));
        return false;
    }
    temporaryLock.tryLock(temporaryFolder.path());
    config.workFolder = temporaryFolder.path() + QLatin1Char('/');

    // The editor stays suspended only while the data is copied. A failure or a stop leaves it
    // suspended here; the ServerConfig resumes it when the command ends.
    if (config.connectToServer())
        config.suspendServer();
    if (interruptedAtSafePoint())
        return false;

    const QString earlierLibrary =
        earlierMediaLibrary(config, folder, deleteExisting, backupPath.isEmpty());
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

    // The last safe point. The old entries go only now: until the new backup is complete in
    // the temporary folder, a failure must leave the earlier backup as it was; from here on,
    // the backup is finished rather than left half-replaced.
    if (interruptedAtSafePoint() || !checkNothingInTheWay(config.workFolder, folder))
        return false;
    if (!removeBackupEntries(folder)) {
        Brisken::Trace::error("Failed to remove existing data in %s", qUtf8Printable(folder));
        return false;
    }
    // The new entries, their folders and the backup folder itself reach stable storage before
    // the backup is reported.
    if (!moveEntriesIntoPlace(config.workFolder, folder)
        || !flushToDisk(folder, FlushScope::FileSystem))
        return false;

    Brisken::Trace::info("Created a backup of Vellacor data in %s", qUtf8Printable(folder));
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
    if (!checkDestination(config, source, destination))
        return QString();
    CopyOptions options;
    options.stopWhenRequested = true;
    options.linkFromFolder = earlierLibrary;
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
