// Folder walks over the media library and the backup folder: copy, size, clear, restore.
//
// Every walk lists folders the same way (tree/folder_listing.h): sub-folders and regular files
// only, in name order without regard to case, names that are not valid UTF-8 included.
// Symbolic links, hidden entries and special files are never followed, copied or counted. On
// failure an operation writes one error line, after the reason line when a system call
// failed, and returns false; nothing it did before the failure is undone.
#pragma once

#include "tree/tree_copy.h"

#include <QDir>
#include <QFileInfoList>
#include <QString>
#include <QStringList>

class ServerConfig;

// The same listing through Qt, for the top level of a work folder whose names are known.
constexpr QDir::Filters entryFilter = QDir::Dirs | QDir::Files | QDir::NoSymLinks
                                      | QDir::NoDotAndDotDot;

// The entries of folderPath that entryFilter admits; empty for a missing or unreadable folder.
QFileInfoList listEntries(const QString& folderPath);

// The six names a backup folder can hold, matched without regard to case.
const QStringList& backupEntryNames();

// Creates destinationFolder (and parents) and copies sourceFolder's tree into it. Never
// overwrites: an existing target file fails the copy, and the target then holds exactly what
// came before that file in walk order. A missing source copies nothing.
bool copyFolder(const QString& sourceFolder, const QString& destinationFolder);

// A stop request ends the copy with no line (a backup stops; a restore does not ask for it
// and finishes its copy). Run as root, a restore gives what it makes the library's owner.
struct CopyOptions : TreeCopyOptions {
    // An earlier copy of the same tree on the same file system, or empty: unchanged files are
    // hard-linked from it (see copyTree).
    QString linkFromFolder;
    // The source's listing, made by folderSize for the destination check, or null: the copy
    // then lists the source itself.
    const TreeListing* listing = nullptr;
};

// copyFolder with options, filling result (see copyTree). On a terminal it shows a progress
// line while it copies.
bool copyFolder(const QString& sourceFolder, const QString& destinationFolder,
                const CopyOptions& options, CopyResult& result);

// Bytes in the regular files of the tree; 0 for a missing path or a plain file. With listing,
// the tree's listing stays there for a copy to follow.
qint64 folderSize(const QString& folderPath, TreeListing* listing = nullptr);

// The entries of folderPath named in backupEntryNames() (any letter case): files, folders and
// links to either (test isSymLink() first), in name order without regard to case.
QFileInfoList listBackupEntries(const QString& folderPath);

// True when folderPath holds an entry named in backupEntryNames() (any letter case).
bool containsBackupEntries(const QString& folderPath);

// Removes every entry of folderPath named in backupEntryNames(), a folder with everything in
// it. A symbolic link goes as a link; nothing outside folderPath is deleted. True when all
// went (or there were none).
bool removeBackupEntries(const QString& folderPath);

// Removes folderPath with everything in it, hidden entries included; links go as links and
// are never followed. False, after the reason line, when anything stayed.
bool removeFolderTree(const QString& folderPath);

enum class FlushScope {
    Entry,           // the file or folder itself (fsync): for a folder, its own entries
    EntryAndParents, // that, and the folders above it on its file system, which may be new
    Tree,            // EntryAndParents for a folder and everything in it (see
                     // tree/tree_flush.h), without waiting long for other programs' data
};

// Puts path on stable storage. False after the reason line and "Failed to flush %s to disk:
// %s", which names shownPath when it is given (the path as the administrator wrote it).
bool flushToDisk(const QString& path, FlushScope scope, const QString& shownPath = QString());

// Empties the target location (the entries its listing shows) and refills it from
// sourceFolder, never by linking. Run as root, the copies take the owner and group of the
// target folder.
bool restoreFolder(const ServerConfig& config, const QString& sourceFolder,
                   const QString& targetLocation);
