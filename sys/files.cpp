// Raw file-system calls behind small functions: locks, moves, flushes and owners.
#include "sys/files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
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

QString resolveLinks(const QString& path)
{
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QString head = absolute;
    QString missing; // the parts below head that do not exist yet, each with its "/"
    // A chain of links longer than the kernel's own limit resolves to nothing.
    for (int links = 0; links < 40;) {
        if (char* real = ::realpath(nativePath(head).constData(), nullptr)) {
            const QString resolved = QFile::decodeName(real);
            std::free(real);
            return resolved == QLatin1String("/") && !missing.isEmpty() ? missing
                                                                         : resolved + missing;
        }
        if (errno != ENOENT)
            return absolute;
        const QFileInfo last(head);
        if (last.isSymLink()) {
            head = QDir::cleanPath(last.symLinkTarget());
            ++links;
        } else if (!last.isRoot()) {
            missing.prepend(QLatin1Char('/') + last.fileName());
            head = last.path();
        } else {
            return absolute;
        }
    }
    return absolute;
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

bool syncFileSystem(int descriptor)
{
    return ::syncfs(descriptor) == 0;
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

bool syncDescriptor(int descriptor)
{
    return ::fsync(descriptor) == 0;
}

bool syncAt(int folder, const char* relativePath, bool isFolder)
{
    int descriptor;
    do {
        descriptor = ::openat(folder, relativePath,
                              O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK
                                  | (isFolder ? O_DIRECTORY : 0));
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0)
        return false;
    const bool synced = ::fsync(descriptor) == 0;
    closeKeepingErrno(descriptor);
    return synced;
}

bool startWriting(int folder, const char* relativePath)
{
    const int descriptor = ::openat(folder, relativePath,
                                    O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
    if (descriptor < 0)
        return false;
    const bool started = ::sync_file_range(descriptor, 0, 0, SYNC_FILE_RANGE_WRITE) == 0;
    closeKeepingErrno(descriptor);
    return started;
}

bool startWriting(const QString& path)
{
    return startWriting(AT_FDCWD, nativePath(path).constData());
}

bool syncParents(const QString& path, QString& failedPath)
{
    struct stat status {};
    QString folder = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    if (::lstat(nativePath(folder).constData(), &status) != 0) {
        failedPath = folder;
        return false;
    }
    const dev_t device = status.st_dev;
    while (folder != QLatin1String("/")) {
        folder = QFileInfo(folder).path();
        if (::lstat(nativePath(folder).constData(), &status) != 0 || status.st_dev != device)
            return true; // the file system ends here: above it, nothing of path's
        if (!syncPath(folder)) {
            failedPath = folder;
            return false;
        }
    }
    return true;
}

bool isKeptInMemory(int descriptor)
{
    struct statfs status {};
    return ::fstatfs(descriptor, &status) == 0
           && (status.f_type == TMPFS_MAGIC || status.f_type == RAMFS_MAGIC);
}

qint64 unwrittenBytes()
{
    int descriptor;
    do {
        descriptor = ::open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0)
        return -1;
    QByteArray text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(buffer, int(got));
    }
    closeKeepingErrno(descriptor);
    qint64 kibibytes = 0;
    int found = 0;
    for (const QByteArray& line : text.split('\n')) {
        if (line.startsWith("Dirty:") || line.startsWith("Writeback:")) {
            bool ok = false;
            const QByteArray value = line.mid(line.indexOf(':') + 1).replace("kB", "");
            kibibytes += value.trimmed().toLongLong(&ok);
            found += ok ? 1 : 0;
        }
    }
    return found == 2 ? kibibytes * 1024 : -1;
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

bool readOwnership(int descriptor, Ownership& ownership)
{
    struct stat status {};
    if (::fstat(descriptor, &status) != 0)
        return false;
    ownership.owner = status.st_uid;
    ownership.group = status.st_gid;
    ownership.permissions = status.st_mode & 07777;
    return true;
}

bool applyOwnership(int descriptor, const Ownership& ownership, bool withPermissions)
{
    if (::fchown(descriptor, ownership.owner, ownership.group) != 0)
        return false;
    // chown clears the set-user and set-group bits: the bits are set after it.
    return !withPermissions || ::fchmod(descriptor, ownership.permissions) == 0;
}

bool copyToNewFile(const QString& sourcePath, const QString& targetPath, Descriptor& target,
                   QString& failedPath)
{
    failedPath = sourcePath;
    const Descriptor in(::open(nativePath(sourcePath).constData(),
                               O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    struct stat status {};
    if (!in.isOpen() || ::fstat(in.get(), &status) != 0)
        return false;
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return false;
    }
    failedPath = targetPath;
    const QByteArray native = nativePath(targetPath);
    Descriptor out(::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                          0600));
    if (!out.isOpen())
        return false; // taken already: nothing of ours to remove
    // The kernel copies where it can (reflinks included); a read and write loop where it cannot.
    bool byKernel = true;
    for (;;) {
        ssize_t moved;
        if (byKernel) {
            moved = ::copy_file_range(in.get(), nullptr, out.get(), nullptr, 1 << 30, 0);
            if (moved < 0
                && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                byKernel = false;
                continue;
            }
        } else {
            char buffer[65536];
            moved = ::read(in.get(), buffer, sizeof buffer);
            for (ssize_t written = 0; moved > 0 && written < moved;) {
                const ssize_t w = ::write(out.get(), buffer + written, size_t(moved - written));
                if (w < 0 && errno == EINTR)
                    continue;
                if (w <= 0) {
                    moved = -1;
                    errno = w == 0 ? ENOSPC : errno;
                    break;
                }
                written += w;
            }
        }
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0) {
            if (moved == 0) {
                target = std::move(out);
                return true;
            }
            const int savedErrno = errno;
            ::unlink(native.constData());
            errno = savedErrno;
            return false;
        }
    }
}

bool removeFile(const QString& path)
{
    return ::unlink(nativePath(path).constData()) == 0;
}

bool makeFolder(const QString& path)
{
    return ::mkdir(nativePath(path).constData(), 0700) == 0;
}

bool runsAsRoot()
{
    return ::geteuid() == 0;
}

} // namespace Sys
