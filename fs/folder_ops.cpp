// Folder walks over the media library and the backup folder: copy, size, clear, restore.
#include "fs/folder_ops.h"

#include "fs/failure_lines.h"
#include "platform/brisken/trace.h"
#include "report/progress.h"
#include "report/size_text.h"
#include "server/server_config.h"
#include "sys/descriptor.h"
#include "sys/files.h"
#include "sys/folder_io.h"
#include "tree/folder_listing.h"
#include "tree/folder_pool.h"
#include "tree/tree_flush.h"

#include <QFile>

#include <cerrno>
#include <cstring>

QFileInfoList listBackupEntries(const QString& folderPath)
{
    if (folderPath.isEmpty())
        return {};
    return QDir(folderPath).entryInfoList(backupEntryNames(), QDir::NoFilter, QDir::NoSort);
}

namespace {

// A path for messages: folderPath, "/" and the relative path in bytes, decoded.
QString joinedPath(const QString& folderPath, const QByteArray& relativePath)
{
    return folderPath + QLatin1Char('/') + QFile::decodeName(relativePath);
}

// Removes the entry name of an open folder: a file, a link or a special file by its name (a
// link is never followed, so nothing outside the folder goes through it), a folder with its
// whole tree. path names the entry in the error lines.
bool removeEntry(int folder, const char* name, bool isFolder, const QString& path)
{
    if (!isFolder) {
        if (Sys::removeAt(folder, name, false))
            return true;
        const int error = errno;
        traceReason(path, error);
        Brisken::Trace::error("Failed to remove file %s", qUtf8Printable(path));
        return false;
    }
    Sys::RemovalFailure failure;
    if (removeTree(folder, name, failure))
        return true;
    // The failure's path begins with the entry's name.
    traceReason(path + QFile::decodeName(failure.path.mid(int(std::strlen(name)))),
                failure.errorNumber);
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

// Opens destinationFolder, made with its parents when missing (".." taken as text, as QDir
// does).
Sys::Descriptor makeDestination(const QString& destinationFolder)
{
    const QByteArray path = QFile::encodeName(destinationFolder);
    QByteArray failedPath = path;
    Sys::Descriptor folder;
    if (Sys::makeFolders(QFile::encodeName(QDir::cleanPath(destinationFolder)), failedPath)
        && (folder = Sys::openFolder(path)).isOpen())
        return folder;
    const int error = errno;
    traceReason(QFile::decodeName(failedPath), error);
    Brisken::Trace::error("Failed to create folder %s", qUtf8Printable(destinationFolder));
    return folder;
}

void reportCopyFailure(const CopyFailure& failure, const QString& sourcePath,
                       const QString& targetPath)
{
    const QString source = joinedPath(sourcePath, failure.path);
    const QString target = joinedPath(targetPath, failure.path);
    if (failure.errorNumber != 0)
        traceReason(failure.kind == CopyFailureKind::ReadSource ? source : target,
                    failure.errorNumber);
    if (failure.isFolder)
        Brisken::Trace::error("Failed to create folder %s", qUtf8Printable(target));
    else
        Brisken::Trace::error("Failed to copy file %s to %s", qUtf8Printable(source),
                              qUtf8Printable(target));
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
    Sys::Descriptor target = makeDestination(destinationFolder);
    if (!target.isOpen())
        return false;
    // A source that is missing, unreadable or not a folder lists nothing.
    Sys::Descriptor source = openGivenFolder(sourceFolder);
    TreeCopyOptions treeOptions = options;
    Progress progress("Copying media library");
    TreeListing ownListing;
    const TreeListing* listing = options.listing;
    if (!listing) {
        if (source.isOpen())
            ownListing.read(source.get(), treeThreads(source.get()));
        listing = &ownListing;
    }
    if (progress.isActive()) {
        treeOptions.progress = [&progress, listing](qint64 files, qint64 bytes) {
            progress.update(bytes, [&] {
                return QStringLiteral("%1 of %2 files, %3 of %4")
                    .arg(files)
                    .arg(listing->files())
                    .arg(formatSize(bytes), formatSize(listing->bytes()));
            });
        };
    }
    const bool copied = copyTree(*listing, std::move(source), std::move(target),
                                 openGivenFolder(options.linkFromFolder), treeOptions, result);
    progress.clear();
    if (!copied && !result.stopped)
        reportCopyFailure(result.failure, QFileInfo(sourceFolder).absoluteFilePath(),
                          destinationFolder);
    return copied;
}

qint64 folderSize(const QString& folderPath, TreeListing* listing)
{
    const Sys::OpenFileLimit openFileLimit;
    const Sys::Descriptor folder = openGivenFolder(folderPath);
    if (!folder.isOpen())
        return 0;
    if (!listing)
        return measureTree(folder.get()).bytes;
    listing->read(folder.get(), treeThreads(folder.get()));
    return listing->bytes();
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
            && !removeEntry(folder.get(), QFile::encodeName(entry.fileName()).constData(),
                            isFolder, entry.absoluteFilePath()))
            return false;
    }
    return true;
}

bool removeFolderTree(const QString& folderPath)
{
    const Sys::OpenFileLimit openFileLimit;
    const QFileInfo folder(QDir::cleanPath(folderPath));
    const Sys::Descriptor parent = openGivenFolder(folder.path());
    Sys::RemovalFailure failure;
    if (!parent.isOpen()) {
        const int error = errno;
        traceReason(folder.path(), error);
        return false;
    }
    if (removeTree(parent.get(), QFile::encodeName(folder.fileName()).constData(), failure))
        return true;
    traceReason(joinedPath(folder.path(), failure.path), failure.errorNumber);
    return false;
}

bool flushToDisk(const QString& path, FlushScope scope, const QString& shownPath)
{
    const QString shown = shownPath.isNull() ? path : shownPath;
    int error = 0;
    QString failedPath;
    if (scope == FlushScope::Tree) {
        const Sys::OpenFileLimit openFileLimit;
        const Sys::Descriptor root = openGivenFolder(path);
        FlushFailure failure;
        if (!root.isOpen()) {
            error = errno;
        } else if (!flushTree(root.get(), failure)) {
            error = failure.errorNumber != 0 ? failure.errorNumber : EIO;
            if (!failure.path.isEmpty())
                failedPath = joinedPath(shown, failure.path);
        }
    } else if (!Sys::syncPath(path)) {
        error = errno;
    }
    if (error == 0 && scope != FlushScope::Entry && !Sys::syncParents(path, failedPath))
        error = errno;
    if (error == 0)
        return true;
    // The entry itself is named by the fixed line alone.
    if (!failedPath.isEmpty())
        traceReason(failedPath, error);
    Brisken::Trace::error("Failed to flush %s to disk: %s", qUtf8Printable(shown),
                          qUtf8Printable(Sys::errorText(error)));
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
