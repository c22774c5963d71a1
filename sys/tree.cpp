// Raw calls for walking, copying and removing folder trees through folder descriptors.
#include "sys/tree.h"

#include <QByteArray>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Sys {

namespace {

// One call of the kernel's own copy moves at most this much, so that a cancellation is seen
// between chunks of a large file.
constexpr std::size_t kernelChunk = std::size_t(16) << 20;

EntryType typeOf(mode_t mode)
{
    return S_ISDIR(mode)   ? EntryType::Folder
           : S_ISREG(mode) ? EntryType::File
           : S_ISLNK(mode) ? EntryType::Link
                           : EntryType::Other;
}

void removeKeepingErrno(int folder, const char* name)
{
    const int savedErrno = errno;
    ::unlinkat(folder, name, 0);
    errno = savedErrno;
}

bool cancelled(const FileCopyOptions& options)
{
    return options.cancelled && options.cancelled();
}

// Copies from offset up to end, or up to the end of the source when end is negative, and
// leaves offset behind the last byte copied. The kernel copies where it can (no trip through
// this process, reflinks where the file system has them); where it cannot, a read and write
// loop through the buffer takes over. knownSize is the source's size when it was opened (or
// -1): a short count that reaches it is taken as the end, which saves a call per small file.
CopyOutcome copyRange(int in, int out, qint64& offset, qint64 end, qint64 knownSize, bool& byKernel,
                      const FileCopyOptions& options, CopyBuffer& buffer)
{
    for (;;) {
        if (end >= 0 && offset >= end)
            return CopyOutcome::Copied;
        const std::size_t limit = byKernel ? kernelChunk : CopyBuffer::size;
        const std::size_t wanted =
            end < 0 ? limit : std::size_t(std::min<qint64>(limit, end - offset));
        ssize_t moved;
        if (byKernel) {
            loff_t from = offset;
            loff_t to = offset;
            moved = ::copy_file_range(in, &from, out, &to, wanted, 0);
            // Other file systems, or ones that cannot (some report no bytes at all): the loop
            // takes over where this stopped.
            if ((moved < 0
                 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP))
                || (moved == 0 && offset == 0 && knownSize != 0)) {
                byKernel = false;
                continue;
            }
        } else {
            moved = ::pread(in, buffer.data(), wanted, offset);
            for (ssize_t written = 0; moved > 0 && written < moved;) {
                const ssize_t w = ::pwrite(out, buffer.data() + written,
                                           std::size_t(moved - written), offset + written);
                if (w < 0 && errno == EINTR)
                    continue;
                if (w <= 0) {
                    if (w == 0)
                        errno = ENOSPC;
                    return CopyOutcome::Failed;
                }
                written += w;
            }
        }
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved < 0)
            return CopyOutcome::Failed; // ENOSPC, EIO and the like
        if (moved == 0)
            return CopyOutcome::Copied; // the end of the source
        offset += moved;
        if (offset == knownSize && std::size_t(moved) < wanted)
            return CopyOutcome::Copied;
        if (cancelled(options))
            return CopyOutcome::Cancelled;
    }
}

// Copies the content; holes of a sparse source (fewer blocks than its size needs) stay holes.
CopyOutcome copyContent(int in, int out, const struct stat& status, const FileCopyOptions& options,
                        CopyBuffer& buffer, qint64& sizeCopied)
{
    bool byKernel = true;
    qint64 offset = 0;
    // A file system without SEEK_DATA (EINVAL) is copied whole, holes written as zeros.
    if (qint64(status.st_blocks) * 512 >= qint64(status.st_size)
        || (::lseek(in, 0, SEEK_DATA) < 0 && errno == EINVAL)) {
        const CopyOutcome outcome =
            copyRange(in, out, offset, -1, status.st_size, byKernel, options, buffer);
        sizeCopied = offset;
        return outcome;
    }
    for (;;) {
        const off_t data = ::lseek(in, offset, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            break; // no data after offset: the rest is a hole
        if (data < 0)
            return CopyOutcome::Failed;
        const off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0)
            return CopyOutcome::Failed;
        offset = data;
        const CopyOutcome outcome = copyRange(in, out, offset, hole, -1, byKernel, options, buffer);
        if (outcome != CopyOutcome::Copied)
            return outcome;
        if (offset < hole)
            break; // the source shrank
    }
    struct stat now {};
    if (::fstat(in, &now) != 0)
        return CopyOutcome::Failed;
    sizeCopied = std::max<qint64>(offset, now.st_size);
    return ::ftruncate(out, sizeCopied) == 0 ? CopyOutcome::Copied : CopyOutcome::Failed;
}

} // namespace

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

Descriptor::~Descriptor()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept
{
    if (this != &other) {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
        m_descriptor = other.release();
    }
    return *this;
}

int Descriptor::release()
{
    const int descriptor = m_descriptor;
    m_descriptor = -1;
    return descriptor;
}

Descriptor openFolder(const QByteArray& path)
{
    return Descriptor(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

Descriptor openFolderAt(int folder, const char* name)
{
    return Descriptor(::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

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
    status.type = typeOf(native.st_mode);
    status.permissions = native.st_mode & 07777;
    status.size = native.st_size;
    status.modified = native.st_mtim;
    return true;
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

bool setStatus(int descriptor, mode_t permissions, bool setOwner, uid_t owner, gid_t group)
{
    return (!setOwner || ::fchown(descriptor, owner, group) == 0)
           && ::fchmod(descriptor, permissions) == 0;
}

bool removeAt(int folder, const char* name, bool isFolder)
{
    return ::unlinkat(folder, name, isFolder ? AT_REMOVEDIR : 0) == 0;
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

bool setPermissionsAt(int folder, const char* path, mode_t permissions)
{
    return ::fchmodat(folder, path, permissions, 0) == 0;
}

bool removeTreeAt(int folder, const char* name)
{
    const Descriptor inner = openFolderAt(folder, name);
    if (!inner.isOpen())
        // Not a folder (any more): a file, a link or a special file goes by its name.
        return (errno == ENOTDIR || errno == ELOOP) && ::unlinkat(folder, name, 0) == 0;
    // Entries removed while the folder is read are not listed again, but a file system may
    // skip others then (NFS does): a folder still not empty is read once more.
    for (int pass = 0; pass < 3; ++pass) {
        bool removedAll = true;
        const bool listed = readFolder(inner.get(), [&](const char* entry, EntryType type) {
            const bool removed = type == EntryType::Folder
                                     ? removeTreeAt(inner.get(), entry)
                                     : ::unlinkat(inner.get(), entry, 0) == 0
                                           || (errno == EISDIR && removeTreeAt(inner.get(), entry));
            removedAll = removed && removedAll;
        });
        const int savedErrno = errno;
        if (::unlinkat(folder, name, AT_REMOVEDIR) == 0) {
            errno = savedErrno;
            return listed && removedAll;
        }
        if (errno != ENOTEMPTY || !listed || !removedAll)
            return false;
    }
    return false;
}

bool linkAt(int fromFolder, const char* name, int toFolder, const char* toName)
{
    return ::linkat(fromFolder, name, toFolder, toName, 0) == 0;
}

OpenFileLimit::OpenFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    const rlim_t saved = limit.rlim_cur;
    // The kernel refuses more than its own ceiling (nr_open, 1 048 576 by default).
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, rlim_t(1) << 20);
    m_raised = ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
    m_saved = saved;
}

OpenFileLimit::~OpenFileLimit()
{
    rlimit limit{};
    if (!m_raised || ::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    limit.rlim_cur = m_saved;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

CopyBuffer::~CopyBuffer()
{
    std::free(m_data);
}

char* CopyBuffer::data()
{
    if (!m_data)
        m_data = static_cast<char*>(std::malloc(size));
    return m_data;
}

CopyOutcome copyFileAt(int sourceFolder, int targetFolder, const char* name,
                       const FileCopyOptions& options, CopyBuffer& buffer, FileCopyResult& result)
{
    // O_NONBLOCK: an entry swapped for a FIFO after the listing must not hang the copy.
    const Descriptor in(
        ::openat(sourceFolder, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (!in.isOpen())
        return CopyOutcome::Failed;
    struct stat status {};
    if (::fstat(in.get(), &status) != 0)
        return CopyOutcome::Failed;
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return CopyOutcome::Failed;
    }
    result.sizeWhenOpened = status.st_size;
    const mode_t permissions = status.st_mode & 07777;
    Descriptor out(::openat(targetFolder, name,
                            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                            permissions & 0777));
    if (!out.isOpen())
        return CopyOutcome::Failed; // taken already: nothing of ours to remove

    CopyOutcome outcome =
        copyContent(in.get(), out.get(), status, options, buffer, result.sizeCopied);
    if (outcome == CopyOutcome::Copied) {
        // The bits were given at creation unless the creation mask took some away; a change
        // of owner clears the set-user and set-group bits, so they are set after it.
        const bool modeSet = (permissions & ~0777) == 0 && (permissions & creationMask()) == 0;
        // The modification time last: every write before it would move it.
        const timespec times[2] = {status.st_atim, status.st_mtim};
        if ((options.setOwner && ::fchown(out.get(), options.owner, options.group) != 0)
            || (!modeSet && ::fchmod(out.get(), permissions) != 0)
            || ::futimens(out.get(), times) != 0)
            outcome = CopyOutcome::Failed;
    }
    // A full disk may show only at close (NFS).
    if (::close(out.release()) != 0 && outcome == CopyOutcome::Copied)
        outcome = CopyOutcome::Failed;
    if (outcome != CopyOutcome::Copied)
        removeKeepingErrno(targetFolder, name);
    return outcome;
}

} // namespace Sys
