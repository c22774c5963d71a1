// Folder walks over the media library and the backup folder: copy, size, clear, restore.
#include "fs/folder_ops.h"

#include "platform/brisken/trace.h"
#include "server/server_config.h"

#include <QFile>

namespace {

// The backup entries of folderPath. With the default filter a symbolic link to a file or a
// folder is listed too (under its own name), so the caller must test isSymLink() first.
QFileInfoList listBackupEntries(const QString& folderPath)
{
    if (folderPath.isEmpty())
        return {};
    return QDir(folderPath).entryInfoList(backupEntryNames(), QDir::NoFilter, QDir::NoSort);
}

bool copyFile(const QString& sourceFile, const QString& targetFile)
{
    if (QFile::copy(sourceFile, targetFile))
        return true;
    Brisken::Trace::error("Failed to copy file %s to %s", qUtf8Printable(sourceFile),
                          qUtf8Printable(targetFile));
    return false;
}

} // namespace

QFileInfoList listEntries(const QString& folderPath)
{
    // QDir("") is the current folder, which no caller means by an empty path.
    if (folderPath.isEmpty())
        return {};
    // NoSort keeps QDir's default order: by name, ignoring case.
    return QDir(folderPath).entryInfoList(entryFilter, QDir::NoSort);
}

const QStringList& backupEntryNames()
{
    static const QStringList names{
        QStringLiteral("assets"),
        QStringLiteral("db_dump.sql"),
        QStringLiteral("db_dump.db"),
        QStringLiteral("reporting_dump.sql"),
        QStringLiteral("reporting_dump.db"),
        QStringLiteral("bw-vellacor-backup-metadata.json"),
    };
    return names;
}

bool copyFolder(const QString& sourceFolder, const QString& destinationFolder)
{
    if (!QDir().mkpath(destinationFolder)) {
        Brisken::Trace::error("Failed to create folder %s", qUtf8Printable(destinationFolder));
        return false;
    }
    // Depth first with one listing per level: memory follows the depth of the tree, not its size.
    for (const QFileInfo& entry : listEntries(sourceFolder)) {
        const QString target = destinationFolder + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()) {
            if (!copyFolder(entry.absoluteFilePath(), target))
                return false;
        } else if (entry.isFile()) {
            if (!copyFile(entry.absoluteFilePath(), target))
                return false;
        }
    }
    return true;
}

qint64 folderSize(const QString& folderPath)
{
    qint64 bytes = 0;
    for (const QFileInfo& entry : listEntries(folderPath)) {
        if (entry.isDir())
            bytes += folderSize(entry.absoluteFilePath());
        else if (entry.isFile())
            bytes += entry.size();
    }
    return bytes;
}

bool containsBackupEntries(const QString& folderPath)
{
    return !listBackupEntries(folderPath).isEmpty();
}

bool removeBackupEntries(const QString& folderPath)
{
    QDir folder(folderPath);
    for (const QFileInfo& entry : listBackupEntries(folderPath)) {
        // A link goes as a link: removeRecursively() on a link to a folder would empty the
        // folder it points to, which lies outside the folder being cleared.
        if (entry.isSymLink() || entry.isFile()) {
            if (!folder.remove(entry.fileName())) {
                Brisken::Trace::error("Failed to remove file %s",
                                      qUtf8Printable(entry.absoluteFilePath()));
                return false;
            }
        } else if (entry.isDir()) {
            if (!QDir(entry.absoluteFilePath()).removeRecursively()) {
                Brisken::Trace::error("Failed to remove folder %s",
                                      qUtf8Printable(entry.absoluteFilePath()));
                return false;
            }
        }
    }
    return true;
}

bool restoreFolder(const ServerConfig& config, const QString& sourceFolder,
                   const QString& targetLocation)
{
    const QString target = resolvePath(config, targetLocation, true);

    // Only what listEntries() shows goes: hidden entries and links directly in the target stay.
    QDir targetFolder(target);
    for (const QFileInfo& entry : listEntries(target)) {
        const bool removed = entry.isDir() ? QDir(entry.absoluteFilePath()).removeRecursively()
                                           : targetFolder.remove(entry.fileName());
        if (!removed) {
            if (entry.isDir())
                Brisken::Trace::error("Failed to remove folder %s",
                                      qUtf8Printable(entry.absoluteFilePath()));
            else
                Brisken::Trace::error("Failed to remove file %s",
                                      qUtf8Printable(entry.absoluteFilePath()));
            Brisken::Trace::error("Failed to remove existing folder %s", qUtf8Printable(target));
            return false;
        }
    }

    if (!copyFolder(sourceFolder, target)) {
        Brisken::Trace::error("Failed to copy folder %s to %s", qUtf8Printable(sourceFolder),
                              qUtf8Printable(target));
        return false;
    }
    return true;
}
