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

// Flushes the whole file system that holds path (syncfs).
bool syncFileSystem(const QString& path);

// Flushes one file or folder (fsync); a folder's fsync makes its entries durable.
bool syncPath(const QString& path);

struct Ownership {
    uid_t owner = 0;
    gid_t group = 0;
    mode_t permissions = 0; // the permission bits, 07777
};

// The owner, group and permission bits of path, not following a final link.
bool readOwnership(const QString& path, Ownership& ownership);
// Gives path (not followed when it is a link) the owner and group, and, when withPermissions,
// the permission bits of ownership.
bool applyOwnership(const QString& path, const Ownership& ownership, bool withPermissions);

// True when the process runs as root and so may give files away.
bool runsAsRoot();

} // namespace Sys
