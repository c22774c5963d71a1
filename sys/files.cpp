// Raw file-system calls behind small functions: locks, moves, flushes and owners.
#include "sys/files.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Sys {

namespace {

QByteArray nativePath(const QString& path)
{
    return QFile::encodeName(path);
}

// Opens path for a flush or a lock: folders read-only, files too (fsync needs no write mode).
int openForReading(const QString& path, int extraFlags)
{
    int descriptor;
    do {
        descriptor = ::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC | extraFlags);
    } while (descriptor < 0 && errno == EINTR);
    return descriptor;
}

void closeKeepingErrno(int descriptor)
{
    const int savedErrno = errno;
    ::close(descriptor);
    errno = savedErrno;
}

} // namespace

QString errorText(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

bool FolderLock::tryLock(const QString& folderPath)
{
    const int descriptor = openForReading(folderPath, O_DIRECTORY);
    if (descriptor < 0)
        return false;
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        closeKeepingErrno(descriptor);
        return false;
    }
    m_folder = Descriptor(descriptor);
    return true;
}

bool renameNoReplace(const QString& fromPath, const QString& toPath)
{
    return ::renameat2(AT_FDCWD, nativePath(fromPath).constData(), AT_FDCWD,
                       nativePath(toPath).constData(), RENAME_NOREPLACE)
           == 0;
}

bool syncFileSystem(const QString& path)
{
    const int descriptor = openForReading(path, 0);
    if (descriptor < 0)
        return false;
    const bool synced = ::syncfs(descriptor) == 0;
    closeKeepingErrno(descriptor);
    return synced;
}

bool syncPath(const QString& path)
{
    const int descriptor = openForReading(path, O_NOFOLLOW);
    if (descriptor < 0)
        return false;
    const bool synced = ::fsync(descriptor) == 0;
    closeKeepingErrno(descriptor);
    return synced;
}

bool readOwnership(const QString& path, Ownership& ownership)
{
    struct stat status {};
    if (::lstat(nativePath(path).constData(), &status) != 0)
        return false;
    ownership.owner = status.st_uid;
    ownership.group = status.st_gid;
    ownership.permissions = status.st_mode & 07777;
    return true;
}

bool applyOwnership(const QString& path, const Ownership& ownership, bool withPermissions)
{
    const QByteArray native = nativePath(path);
    if (::lchown(native.constData(), ownership.owner, ownership.group) != 0)
        return false;
    // chown clears the set-user and set-group bits: the bits are set after it.
    return !withPermissions || ::chmod(native.constData(), ownership.permissions) == 0;
}

bool runsAsRoot()
{
    return ::geteuid() == 0;
}

} // namespace Sys
