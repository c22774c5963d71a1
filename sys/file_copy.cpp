// The copy of one regular file between open folders.
#include "sys/file_copy.h"

#include "sys/descriptor.h"
#include "sys/folder_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Sys {

namespace {

// One call of the kernel's own copy moves at most this much, so that a cancellation is seen
// between chunks of a large file.
constexpr std::size_t kernelChunk = std::size_t(16) << 20;

// Notes the call that just failed, with its errno, before any clean-up can change errno.
CopyOutcome fail(FileCopyResult& result, FailedCall call)
{
    result.failedCall = call;
    result.errorNumber = errno;
    return CopyOutcome::Failed;
}

bool cancelled(const FileCopyOptions& options)
{
    return options.cancelled && options.cancelled();
}

// Bytes of the source from offset up to end, or up to its end when end is negative; offset
// moves on behind the last byte copied. knownSize is the source's size when it was opened (or
// -1): a short count that reaches it is taken as the end, which saves a call per small file.
struct Range {
    qint64 offset = 0;
    qint64 end = -1;
    qint64 knownSize = -1;

    bool isDone() const { return end >= 0 && offset >= end; }
    std::size_t wanted(std::size_t limit) const
    {
        return end < 0 ? limit : std::size_t(std::min<qint64>(qint64(limit), end - offset));
    }
    // True when moved bytes of wanted ended the source.
    bool advance(ssize_t moved, std::size_t wanted)
    {
        offset += moved;
        return offset == knownSize && std::size_t(moved) < wanted;
    }
};

enum class KernelCopy { Copied, Cancelled, Refused };

// The kernel's own copy: no trip through this process, reflinks where the file system has
// them. Refused where it cannot go on (another file system, one that reports no bytes at all,
// or an error): the read and write loop then takes over where it stopped, and a real error
// shows there again, on the side it belongs to.
KernelCopy copyByKernel(int in, int out, Range& range, const FileCopyOptions& options)
{
    for (;;) {
        if (range.isDone())
            return KernelCopy::Copied;
        const std::size_t wanted = range.wanted(kernelChunk);
        loff_t from = range.offset;
        loff_t to = range.offset;
        const ssize_t moved = ::copy_file_range(in, &from, out, &to, wanted, 0);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved < 0 || (moved == 0 && range.offset == 0 && range.knownSize != 0))
            return KernelCopy::Refused;
        if (moved == 0 || range.advance(moved, wanted))
            return KernelCopy::Copied; // the end of the source
        if (cancelled(options))
            return KernelCopy::Cancelled;
    }
}

// Reads into the buffer and writes it out, for what the kernel cannot copy.
CopyOutcome copyByBuffer(int in, int out, Range& range, const FileCopyOptions& options,
                         CopyBuffer& buffer, FileCopyResult& result)
{
    char* const data = buffer.data();
    if (!data) {
        errno = ENOMEM;
        return fail(result, FailedCall::Source);
    }
    struct stat opened {};
    if (options.listed && ::fstat(in, &opened) != 0)
        return fail(result, FailedCall::Source);
    if (options.listed && !S_ISREG(opened.st_mode)) {
        errno = EINVAL;
        return fail(result, FailedCall::Source);
    }
    for (;;) {
        if (range.isDone())
            return CopyOutcome::Copied;
        const std::size_t wanted = range.wanted(CopyBuffer::size);
        const ssize_t moved = ::pread(in, data, wanted, range.offset);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved < 0)
            return fail(result, FailedCall::Source);
        for (ssize_t written = 0; written < moved;) {
            const ssize_t w = ::pwrite(out, data + written, std::size_t(moved - written),
                                       range.offset + written);
            if (w < 0 && errno == EINTR)
                continue;
            if (w == 0)
                errno = ENOSPC;
            if (w <= 0)
                return fail(result, FailedCall::Target);
            written += w;
        }
        if (moved == 0 || range.advance(moved, wanted))
            return CopyOutcome::Copied; // the end of the source
        if (cancelled(options))
            return CopyOutcome::Cancelled;
    }
}

// The kernel copies the range if it can, the buffer loop the rest; byKernel goes off for the
// rest of the file once the kernel refused.
CopyOutcome copyRange(int in, int out, Range& range, bool& byKernel,
                      const FileCopyOptions& options, CopyBuffer& buffer, FileCopyResult& result)
{
    if (byKernel) {
        switch (copyByKernel(in, out, range, options)) {
        case KernelCopy::Copied: return CopyOutcome::Copied;
        case KernelCopy::Cancelled: return CopyOutcome::Cancelled;
        case KernelCopy::Refused: byKernel = false; break;
        }
    }
    return copyByBuffer(in, out, range, options, buffer, result);
}

// Copies the content; holes of a sparse source stay holes.
CopyOutcome copyContent(int in, int out, const FileStatus& status, const FileCopyOptions& options,
                        CopyBuffer& buffer, FileCopyResult& result)
{
    bool byKernel = true;
    Range range;
    // A file system without SEEK_DATA (EINVAL) is copied whole, holes written as zeros.
    if (!status.sparse || (::lseek(in, 0, SEEK_DATA) < 0 && errno == EINVAL)) {
        range.knownSize = status.size;
        const CopyOutcome outcome = copyRange(in, out, range, byKernel, options, buffer, result);
        result.sizeCopied = range.offset;
        return outcome;
    }
    for (;;) {
        const off_t data = ::lseek(in, range.offset, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            break; // no data after offset: the rest is a hole
        if (data < 0)
            return fail(result, FailedCall::Source);
        const off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0)
            return fail(result, FailedCall::Source);
        range.offset = data;
        range.end = hole;
        const CopyOutcome outcome = copyRange(in, out, range, byKernel, options, buffer, result);
        if (outcome != CopyOutcome::Copied)
            return outcome;
        if (range.offset < hole)
            break; // the source shrank
    }
    struct stat now {};
    if (::fstat(in, &now) != 0)
        return fail(result, FailedCall::Source);
    result.sizeCopied = std::max<qint64>(range.offset, now.st_size);
    return ::ftruncate(out, result.sizeCopied) == 0 ? CopyOutcome::Copied
                                                     : fail(result, FailedCall::Target);
}

} // namespace

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
    struct stat opened {};
    if (!in.isOpen() || (!options.listed && ::fstat(in.get(), &opened) != 0))
        return fail(result, FailedCall::Source);
    if (!options.listed && !S_ISREG(opened.st_mode)) {
        errno = EINVAL;
        return fail(result, FailedCall::Source);
    }
    const FileStatus status = options.listed ? *options.listed : statusOf(opened);
    result.sizeWhenOpened = status.size;
    const mode_t permissions = status.permissions;
    Descriptor out(::openat(targetFolder, name,
                            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                            permissions & 0777));
    if (!out.isOpen())
        return fail(result, FailedCall::Target); // taken already: nothing of ours to remove

    CopyOutcome outcome = copyContent(in.get(), out.get(), status, options, buffer, result);
    if (outcome == CopyOutcome::Copied) {
        // The bits were given at creation unless the creation mask took some away; a change
        // of owner clears the set-user and set-group bits, so they are set after it.
        const bool modeSet = (permissions & ~0777) == 0 && (permissions & creationMask()) == 0;
        // The modification time last: every write before it would move it.
        const timespec times[2] = {status.accessed, status.modified};
        if ((options.setOwner && ::fchown(out.get(), options.owner, options.group) != 0)
            || (!modeSet && ::fchmod(out.get(), permissions) != 0)
            || ::futimens(out.get(), times) != 0)
            outcome = fail(result, FailedCall::TargetStatus);
    }
    // A full disk may show only at close (NFS).
    if (::close(out.release()) != 0 && outcome == CopyOutcome::Copied)
        outcome = fail(result, FailedCall::Target);
    if (outcome != CopyOutcome::Copied) {
        ::unlinkat(targetFolder, name, 0);
        errno = result.errorNumber;
    }
    return outcome;
}

} // namespace Sys
