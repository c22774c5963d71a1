// Folder walks over the media library and the backup folder: copy, size, clear, restore.
#include "fs/folder_ops.h"

#include "fs/folder_listing.h"
#include "fs/folder_pool.h"
#include "fs/tree_copy.h"
#include "platform/brisken/trace.h"
#include "server/server_config.h"
#include "sys/files.h"
#include "sys/tree.h"

#include <QFile>

#include <cerrno>

#include <atomic>

QFileInfoList listBackupEntries(const QString& folderPath)
{
    if (folderPath.isEmpty())
        return {};
    return QDir(folderPath).entryInfoList(backupEntryNames(), QDir::NoFilter, QDir::NoSort);
}

namespace {

// Removes name inside the open folder with everything it holds. The files go first, side by
// side; what is left (the folders, and whatever could not go) is then removed one by one.
bool removeTree(int folder, const char* name)
{
    const Sys::Descriptor top = Sys::openFolderAt(folder, name);
    if (top.isOpen())
        forEachFolder(top.get(), false, [](int inner) {
            Sys::readFolder(inner, [inner](const char* entry, Sys::EntryType type) {
                if (type != Sys::EntryType::Folder)
                    Sys::removeAt(inner, entry, false); // what stays is met again below
            });
        });
    return Sys::removeTreeAt(folder, name);
}

// Removes the entry name of an open folder: a file, a link or a special file by its name (a
// link is never followed, so nothing outside the folder goes through it), a folder with its
// whole tree. path names the entry in the error line.
bool removeEntry(int folder, const char* name, bool isFolder, const QString& path)
{
    if (!isFolder) {
        if (Sys::removeAt(folder, name, false))
            return true;
        Brisken::Trace::error("Failed to remove file %s", qUtf8Printable(path));
        return false;
    }
    if (removeTree(folder, name))
        return true;
    Brisken::Trace::error("Failed to remove folder %s", qUtf8Printable(path));
    return false;
}

// Opens a folder given by the caller; an empty path is no folder (QDir would take the current
// one, which no caller means).
Sys::Descriptor openGivenFolder(const QString& folderPath)
{
    return folderPath.isEmpty() ? Sys::Descriptor()
                                : Sys::openFolder(QFile::encodeName(folderPath));
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
    CopyResult result;
    return copyFolder(sourceFolder, destinationFolder, CopyOptions(), result);
}

bool copyFolder(const QString& sourceFolder, const QString& destinationFolder,
                const CopyOptions& options, CopyResult& result)
{
    result = CopyResult();
    const Sys::OpenFileLimit openFileLimit;
    Sys::Descriptor target;
    if (!QDir().mkpath(destinationFolder)
        || !(target = Sys::openFolder(QFile::encodeName(destinationFolder))).isOpen()) {
        Brisken::Trace::error("Failed to create folder %s", qUtf8Printable(destinationFolder));
        return false;
    }
    // A source that is missing, unreadable or not a folder lists nothing.
    return copyTree(openGivenFolder(sourceFolder), std::move(target),
                    openGivenFolder(options.linkFromFolder),
                    QFileInfo(sourceFolder).absoluteFilePath(), destinationFolder, options, result);
}

qint64 folderSize(const QString& folderPath)
{
    const Sys::OpenFileLimit openFileLimit;
    const Sys::Descriptor folder = openGivenFolder(folderPath);
    return folder.isOpen() ? measureTree(folder.get()).bytes : 0;
}

bool containsBackupEntries(const QString& folderPath)
{
    return !listBackupEntries(folderPath).isEmpty();
}

bool removeBackupEntries(const QString& folderPath)
{
    const Sys::OpenFileLimit openFileLimit;
    const QFileInfoList entries = listBackupEntries(folderPath);
    const Sys::Descriptor folder = openGivenFolder(folderPath);
    for (const QFileInfo& entry : entries) {
        // Test for a link first: a link to a folder reports isDir().
        const bool isFolder = !entry.isSymLink() && entry.isDir();
        if ((isFolder || entry.isSymLink() || entry.isFile())
            && !removeEntry(folder.get(), QFile::encodeName(entry.fileName()).constData(), isFolder,
                            entry.absoluteFilePath()))
            return false;
    }
    return true;
}

bool removeFolderTree(const QString& folderPath)
{
    const Sys::OpenFileLimit openFileLimit;
    const QFileInfo folder(QDir::cleanPath(folderPath));
    const Sys::Descriptor parent = openGivenFolder(folder.path());
    return parent.isOpen()
           && removeTree(parent.get(), QFile::encodeName(folder.fileName()).constData());
}

bool flushToDisk(const QString& path, FlushScope scope, const QString& shownPath)
{
    if ((scope == FlushScope::Entry || Sys::syncFileSystem(path)) && Sys::syncPath(path))
        return true;
    Brisken::Trace::error("Failed to flush %s to disk: %s",
                          qUtf8Printable(shownPath.isNull() ? path : shownPath),
                          qUtf8Printable(Sys::errorText(errno)));
    return false;
}

bool restoreFolder(const ServerConfig& config, const QString& sourceFolder,
                   const QString& targetLocation)
{
    const QString target = resolvePath(config, targetLocation, true);
    const Sys::OpenFileLimit openFileLimit;

    // Only what the listing shows goes: hidden entries and links directly in the target stay.
    const Sys::Descriptor targetFolder = openGivenFolder(target);
    FolderListing listing;
    if (targetFolder.isOpen())
        listing.read(targetFolder.get(), FolderListing::Order::ByName);
    const QString targetPath = QFileInfo(target).absoluteFilePath();
    for (int i = 0; i < listing.size(); ++i) {
        const char* name = listing.name(i);
        if (!removeEntry(targetFolder.get(), name, listing.isFolder(i),
                         joinedPath(targetPath, QByteArray(name)))) {
            Brisken::Trace::error("Failed to remove existing folder %s", qUtf8Printable(target));
            return false;
        }
    }

    // Run as root, the library keeps its owner: what is copied into it takes the owner and
    // group of the library folder, and its permission bits from the backup.
    CopyOptions options;
    Sys::Ownership library;
    options.setOwner = Sys::runsAsRoot() && Sys::readOwnership(targetFolder.get(), library);
    options.owner = library.owner;
    options.group = library.group;
    CopyResult result;
    if (!copyFolder(sourceFolder, target, options, result)) {
        Brisken::Trace::error("Failed to copy folder %s to %s", qUtf8Printable(sourceFolder),
                              qUtf8Printable(target));
        return false;
    }
    return true;
}
