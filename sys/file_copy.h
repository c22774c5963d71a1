// The copy of one regular file between open folders: content (holes stay holes), permission
// bits, owner and modification time.
#pragma once

#include "sys/folder_io.h"

#include <QtGlobal>

#include <cstddef>
#include <functional>
#include <sys/types.h>

namespace Sys {

struct FileCopyOptions {
    bool setOwner = false; // give the copy owner and group (not needed when it gets them anyway)
    uid_t owner = 0;
    gid_t group = 0;
    // Asked between chunks of a large file: true ends the copy (the target is removed).
    std::function<bool()> cancelled;
    // The source's status as listed just before, or null: the copy then reads it from the
    // opened source. The kernel's copy refuses anything but a regular file by itself; the
    // read and write loop checks the opened source first.
    const FileStatus* listed = nullptr;
};

enum class CopyOutcome { Copied, Failed, Cancelled };

// The call of a failed copy that the system refused: on the source (open, status, read) or
// on the target (create, write, size, close), or the target's owner, mode or time.
enum class FailedCall { None, Source, Target, TargetStatus };

struct FileCopyResult {
    qint64 sizeWhenOpened = 0; // the source's size as listed, or when it was opened
    qint64 sizeCopied = 0;     // the size of the target made
    FailedCall failedCall = FailedCall::None;
    int errorNumber = 0; // of that call, kept past the clean-up that follows it
};

// A buffer for the copies that the kernel cannot make by itself, one per thread; taken from
// memory only when first needed. Twice what cp reads at once: sixteen threads on a disk keep
// 4 MiB in all.
class CopyBuffer {
public:
    CopyBuffer() = default;
    ~CopyBuffer();
    CopyBuffer(const CopyBuffer&) = delete;
    CopyBuffer& operator=(const CopyBuffer&) = delete;
    char* data();
    static constexpr std::size_t size = std::size_t(1) << 18;

private:
    char* m_data = nullptr;
};

// Copies the regular file name inside sourceFolder to a new file name inside targetFolder:
// content (holes stay holes), permission bits and access and modification times. Nothing is overwritten
// (the target is created exclusively) and a failed or cancelled copy removes its target. The
// source is opened without following a link or blocking on a FIFO and must be a regular file.
CopyOutcome copyFileAt(int sourceFolder, int targetFolder, const char* name,
                       const FileCopyOptions& options, CopyBuffer& buffer, FileCopyResult& result);

} // namespace Sys
