// Raw calls on folders through their descriptors.
#include "sys/folder_io.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

namespace Sys {

namespace {

EntryType typeOf(mode_t mode)
{
    return S_ISDIR(mode)   ? EntryType::Folder
           : S_ISREG(mode) ? EntryType::File
           : S_ISLNK(mode) ? EntryType::Link
                           : EntryType::Other;
}

// Keeps the first failure, with the errno of the call that just failed.
bool failed(RemovalFailure& failure, const QByteArray& path)
{
    if (failure.errorNumber == 0) {
        failure.errorNumber = errno;
        failure.path = path;
    }
    return false;
}

bool removeTree(int folder, const char* name, const QByteArray& path, RemovalFailure& failure)
{
    const Descriptor inner = openFolderAt(folder, name);
    if (!inner.isOpen()) {
        // Not a folder (any more): a file, a link or a special file goes by its name.
        if (errno != ENOTDIR && errno != ELOOP)
            return failed(failure, path);
        return ::unlinkat(folder, name, 0) == 0 || failed(failure, path);
    }
    // Entries removed while the folder is read are not listed again, but a file system may
    // skip others then (NFS does): a folder still not empty is read once more.
    for (int pass = 0; pass < 3; ++pass) {
        bool removedAll = true;
        const bool listed = readFolder(inner.get(), [&](const char* entry, EntryType type) {
            const QByteArray entryPath = path + '/' + entry;
            const bool removed =
                type == EntryType::Folder
                    ? removeTree(inner.get(), entry, entryPath, failure)
                    : ::unlinkat(inner.get(), entry, 0) == 0
                          || (errno == EISDIR && removeTree(inner.get(), entry, entryPath, failure))
                          || failed(failure, entryPath);
            removedAll = removed && removedAll;
        });
        if (!listed)
            failed(failure, path);
        if (::unlinkat(folder, name, AT_REMOVEDIR) == 0)
            return listed && removedAll;
        if (errno != ENOTEMPTY || !listed || !removedAll || pass == 2)
            return failed(failure, path);
    }
    return false;
}

} // namespace

bool readFolder(int folder, const std::function<void(const char* name, EntryType type)>& found)
{
    if (::lseek(folder, 0, SEEK_SET) < 0)
        return false;
    std::vector<char> buffer(32768);
    for (;;) {
        const ssize_t filled = ::getdents64(folder, buffer.data(), buffer.size());
        if (filled < 0 && errno == EINTR)
            continue;
        if (filled <= 0)
            return filled == 0;
        for (ssize_t at = 0; at < filled;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            EntryType type = EntryType::Other;
            switch (entry->d_type) {
            case DT_DIR: type = EntryType::Folder; break;
            case DT_REG: type = EntryType::File; break;
            case DT_LNK: type = EntryType::Link; break;
            case DT_UNKNOWN: {
                struct stat status {};
                if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) == 0)
                    type = typeOf(status.st_mode);
                break;
            }
            default: break;
            }
            found(name, type);
        }
    }
}

bool statAt(int folder, const char* name, FileStatus& status)
{
    struct stat native {};
    if (::fstatat(folder, name, &native, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    status = statusOf(native);
    return true;
}

FileStatus statusOf(const struct stat& native)
{
    FileStatus status;
    status.type = typeOf(native.st_mode);
    status.permissions = native.st_mode & 07777;
    status.size = native.st_size;
    status.sparse = qint64(native.st_blocks) * 512 < qint64(native.st_size);
    status.accessed = native.st_atim;
    status.modified = native.st_mtim;
    status.links = native.st_nlink;
    return status;
}

bool makeFolderAt(int folder, const char* name, Descriptor& opened, bool& created)
{
    created = ::mkdirat(folder, name, 0777) == 0;
    if (!created && errno != EEXIST)
        return false;
    opened = openFolderAt(folder, name);
    if (opened.isOpen())
        return true;
    if (created) {
        const int savedErrno = errno;
        ::unlinkat(folder, name, AT_REMOVEDIR);
        errno = savedErrno;
    }
    return false;
}

bool makeFolders(const QByteArray& path, QByteArray& failedPath)
{
    // A part that exists already is passed whatever it is: the next part, or the check at the
    // end, fails on it with the reason that fits (ENOTDIR).
    for (int slash = path.indexOf('/', 1); slash > 0; slash = path.indexOf('/', slash + 1)) {
        const QByteArray part = path.left(slash);
        if (::mkdir(part.constData(), 0777) != 0 && errno != EEXIST) {
            failedPath = part;
            return false;
        }
    }
    struct stat status {};
    if (::mkdir(path.constData(), 0777) == 0)
        return true;
    const bool exists = errno == EEXIST;
    if (exists && ::stat(path.constData(), &status) == 0 && S_ISDIR(status.st_mode))
        return true;
    if (exists)
        errno = ENOTDIR;
    failedPath = path;
    return false;
}

mode_t creationMask()
{
    // Reading the mask means setting it: done once, on the first call, before any copy thread.
    static const mode_t mask = [] {
        const mode_t current = ::umask(022);
        ::umask(current);
        return current;
    }();
    return mask;
}

bool setStatus(int descriptor, mode_t permissions, bool setOwner, uid_t owner, gid_t group)
{
    return (!setOwner || ::fchown(descriptor, owner, group) == 0)
           && ::fchmod(descriptor, permissions) == 0;
}

bool isInMemory(int folder)
{
    struct statfs status {};
    return ::fstatfs(folder, &status) == 0
           && (status.f_type == TMPFS_MAGIC || status.f_type == RAMFS_MAGIC);
}

bool createsOwnedBy(int folder, uid_t owner, gid_t group)
{
    struct stat status {};
    if (::fstat(folder, &status) != 0)
        return false;
    // A folder with the set-group bit gives new entries its own group.
    const gid_t newGroup = (status.st_mode & S_ISGID) ? status.st_gid : ::getegid();
    return ::geteuid() == owner && newGroup == group;
}

bool linkAt(int fromFolder, const char* name, int toFolder, const char* toName)
{
    return ::linkat(fromFolder, name, toFolder, toName, 0) == 0;
}

bool removeAt(int folder, const char* name, bool isFolder)
{
    return ::unlinkat(folder, name, isFolder ? AT_REMOVEDIR : 0) == 0;
}

bool removeTreeAt(int folder, const char* name, RemovalFailure& failure)
{
    return removeTree(folder, name, QByteArray(name), failure);
}

} // namespace Sys
