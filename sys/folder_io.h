// Raw calls on folders through their descriptors: listing, status, making, linking, owners
// and modes, and removing whole trees.
//
// Names are the bytes the file system holds, relative to an open folder: no path is rebuilt
// per entry, nothing needs to be valid UTF-8, and no call follows a symbolic link in a name.
// Calls return false and leave the system's reason in errno.
#pragma once

#include "sys/descriptor.h"

#include <QByteArray>
#include <QtGlobal>

#include <ctime>
#include <functional>
#include <sys/stat.h>
#include <sys/types.h>

namespace Sys {

enum class EntryType { Folder, File, Link, Other };

// Calls found for every entry of folder but "." and "..", in the order the file system gives
// them. The type comes from the listing where the file system provides it (one stat otherwise).
bool readFolder(int folder, const std::function<void(const char* name, EntryType type)>& found);

struct FileStatus {
    EntryType type = EntryType::Other;
    mode_t permissions = 0; // 07777
    qint64 size = 0;
    bool sparse = false; // fewer blocks than its size needs: it has holes
    timespec accessed{};
    timespec modified{};
    quint64 links = 0; // the file's hard links: more than one for a file linked from elsewhere
};

// The status of name inside folder, not following a link.
bool statAt(int folder, const char* name, FileStatus& status);
// The status that a stat call gave.
FileStatus statusOf(const struct stat& native);

// Creates the folder name inside folder (mode 0777 less the creation mask) and opens it; an
// existing folder (not a link to one) is opened instead, with created false.
bool makeFolderAt(int folder, const char* name, Descriptor& opened, bool& created);

// Creates the folder at path with every missing parent, as mkdir -p: folders already there,
// links to folders included, are passed. On failure failedPath is the path whose call failed.
bool makeFolders(const QByteArray& path, QByteArray& failedPath);

// The process's file creation mask (umask), read once.
mode_t creationMask();

// Gives an open folder or file the owner and group (when setOwner) and then the permission
// bits: a change of owner clears the set-user and set-group bits.
bool setStatus(int descriptor, mode_t permissions, bool setOwner, uid_t owner, gid_t group);

// True when what this process creates in the open folder gets owner and group by itself.
bool createsOwnedBy(int folder, uid_t owner, gid_t group);

// True when the open folder's file system keeps its files in memory (tmpfs, ramfs): reading
// them never waits for a device.
bool isInMemory(int folder);

// A new hard link toName inside toFolder to the file name inside fromFolder.
bool linkAt(int fromFolder, const char* name, int toFolder, const char* toName);

// Removes the file, link or empty folder name inside folder.
bool removeAt(int folder, const char* name, bool isFolder);

// The first call that failed while a tree was removed.
struct RemovalFailure {
    QByteArray path;     // relative to the folder the removal started in, beginning with its name
    int errorNumber = 0; // 0 while nothing failed
};

// Removes name inside folder with everything it holds: hidden entries, links as links and
// special files. Never follows a link and never leaves the folder; goes on past entries it
// cannot remove and then returns false, with the first failure in failure.
bool removeTreeAt(int folder, const char* name, RemovalFailure& failure);

} // namespace Sys
