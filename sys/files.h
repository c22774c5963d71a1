// Raw file-system calls behind small functions: locks, moves, flushes and owners.
//
// Each returns false (or -1) and leaves the system's reason in errno, so that the caller
// writes the one error line with the context it knows; errorText() renders that reason.
#pragma once

#include "sys/descriptor.h"

#include <QString>

#include <sys/types.h>

namespace Sys {

// The system's text for an errno value: "No space left on device".
QString errorText(int errorNumber);

// What a path that the administrator named stands for: absolute, with every symbolic link in it
// resolved, the last one too. Parts that do not exist yet are kept as they are, and a dangling
// link stands for its target. Used once per named path, so that the work applies to what it
// names and a link swapped later cannot redirect it.
QString resolveLinks(const QString& path);

// An exclusive flock on a folder, held until the object is destroyed. Nothing is created: the
// lock is on the folder itself, and its descriptor is not inherited by child processes.
class FolderLock {
public:
    // False with errno EWOULDBLOCK when another process holds the lock, or the open's errno.
    // Closing the descriptor, with the object, releases the lock.
    bool tryLock(const QString& folderPath);
    bool isLocked() const { return m_folder.isOpen(); }

private:
    Descriptor m_folder;
};

// Moves from to to without following or replacing anything at to, a symbolic link included
// (renameat2 with RENAME_NOREPLACE); EEXIST when to is taken.
bool renameNoReplace(const QString& fromPath, const QString& toPath);

// Flushes the whole file system that holds the open file or folder (syncfs). It also waits for
// what every other program wrote there.
bool syncFileSystem(int descriptor);

// Flushes one file or folder (fsync); a folder's fsync makes its entries durable.
bool syncPath(const QString& path);
// The same for an open file or folder.
bool syncDescriptor(int descriptor);
// The same for the file or folder at relativePath inside the open folder; a link as its last
// component is not followed.
bool syncAt(int folder, const char* relativePath, bool isFolder);

// Starts writing out the file at relativePath inside the open folder (sync_file_range), so that
// the fsync that follows finds it written or on its way; nothing is waited for.
bool startWriting(int folder, const char* relativePath);
bool startWriting(const QString& path);

// Flushes every folder above path that lies on path's own file system, nearest first, so
// that path's name survives a crash even where the folders holding it are new. On failure
// failedPath names the folder whose call failed.
bool syncParents(const QString& path, QString& failedPath);

// True when the open file or folder lies on a file system kept in memory alone (tmpfs,
// ramfs): nothing on it outlives a restart, so a flush has nothing to make durable.
bool isKeptInMemory(int descriptor);

// Bytes the whole system holds in memory not yet written to any disk or being written
// (Dirty and Writeback of /proc/meminfo); -1 when it cannot be read.
qint64 unwrittenBytes();

struct Ownership {
    uid_t owner = 0;
    gid_t group = 0;
    mode_t permissions = 0; // the permission bits, 07777
};

// The owner, group and permission bits of path, not following a final link.
bool readOwnership(const QString& path, Ownership& ownership);
// The same for an open file or folder.
bool readOwnership(int descriptor, Ownership& ownership);
// Gives the open file or folder the owner and group, and, when withPermissions, the permission
// bits of ownership. Only ever through a descriptor: a path could be a link swapped meanwhile.
bool applyOwnership(int descriptor, const Ownership& ownership, bool withPermissions);

// Creates targetPath exclusively, never through a link, with mode 0600, and copies the regular
// file at sourcePath into it; the new file is left open in target. On failure failedPath names
// the path whose call failed (errno holds its reason) and nothing stays at targetPath.
bool copyToNewFile(const QString& sourcePath, const QString& targetPath, Descriptor& target,
                   QString& failedPath);

// Removes the file (or link) at path.
bool removeFile(const QString& path);

// Creates the folder at path, for its owner alone (0700).
bool makeFolder(const QString& path);

// True when the process runs as root and so may give files away.
bool runsAsRoot();

} // namespace Sys
