// Folder walks over the media library and the backup folder: copy, size, clear, restore.
//
// Every walk lists folders through listEntries(): sub-folders and regular files only, in name
// order without regard to case. Symbolic links, hidden entries and special files are never
// followed, copied or counted. On failure an operation writes one error line and returns
// false; nothing it did before the failure is undone.
#pragma once

#include <QDir>
#include <QFileInfoList>
#include <QString>
#include <QStringList>

class ServerConfig;

// The one listing filter of every folder walk.
constexpr QDir::Filters entryFilter = QDir::Dirs | QDir::Files | QDir::NoSymLinks
                                      | QDir::NoDotAndDotDot;

// The entries of folderPath that entryFilter admits; empty for a missing or unreadable folder.
QFileInfoList listEntries(const QString& folderPath);

// The six names a backup folder can hold, matched without regard to case.
const QStringList& backupEntryNames();

// Creates destinationFolder (and parents) and copies sourceFolder's tree into it. Never
// overwrites: an existing target file fails the copy. A missing source copies nothing.
bool copyFolder(const QString& sourceFolder, const QString& destinationFolder);

// Bytes in the regular files of the tree; 0 for a missing path or a plain file.
qint64 folderSize(const QString& folderPath);

// True when folderPath holds an entry named in backupEntryNames() (any letter case).
bool containsBackupEntries(const QString& folderPath);

// Removes every entry of folderPath named in backupEntryNames(). A symbolic link goes as a
// link; nothing outside folderPath is deleted. True when all went (or there were none).
bool removeBackupEntries(const QString& folderPath);

// Empties the target location (entries listEntries() shows) and refills it from sourceFolder.
bool restoreFolder(const ServerConfig& config, const QString& sourceFolder,
                   const QString& targetLocation);
