// One step of a tree copy.
#include "tree/copy_entry.h"

#include "sys/folder_io.h"
#include "tree/tree_listing.h"

#include <cerrno>

namespace {

CopyFailureKind kindOf(Sys::FailedCall call)
{
    switch (call) {
    case Sys::FailedCall::Source: return CopyFailureKind::ReadSource;
    case Sys::FailedCall::TargetStatus: return CopyFailureKind::OwnerMode;
    default: return CopyFailureKind::WriteTarget;
    }
}

// False (and nothing done) when the file is to be copied.
bool tryLink(const CopyFolder& folder, const char* name, const ListedEntry& source,
             const FileStep& step, EntryOutcome& outcome)
{
    if (!folder.linkFrom.isOpen() || !step.linking || !source.known)
        return false;
    Sys::FileStatus earlier;
    if (!Sys::statAt(folder.linkFrom.get(), name, earlier)
        || earlier.type != Sys::EntryType::File || earlier.size != source.size
        || earlier.permissions != source.permissions
        || earlier.modified.tv_sec != source.modifiedSeconds
        || earlier.modified.tv_nsec != source.modifiedNanoseconds)
        return false;
    if (!Sys::linkAt(folder.linkFrom.get(), name, folder.target.get(), name)) {
        if (errno == EXDEV)
            step.linking = false; // every other file would be refused the same way
        return false;
    }
    outcome.state = EntryState::Done;
    outcome.made = true;
    outcome.linked = true;
    outcome.sizeWhenOpened = outcome.sizeCopied = source.size;
    return true;
}

} // namespace

EntryOutcome copyListedFile(const CopyFolder& folder, const WindowEntry& entry,
                            const FileStep& step, Sys::CopyBuffer& buffer)
{
    const char* name = entry.name();
    EntryOutcome outcome;
    if (tryLink(folder, name, *entry.listed, step, outcome))
        return outcome;
    Sys::FileCopyOptions options;
    const Sys::FileStatus listed = entry.listed->status();
    if (entry.listed->known)
        options.listed = &listed;
    options.setOwner = folder.setOwner;
    options.owner = step.owner;
    options.group = step.group;
    options.cancelled = step.cancelled;
    Sys::FileCopyResult copied;
    switch (Sys::copyFileAt(folder.source.get(), folder.target.get(), name, options, buffer,
                            copied)) {
    case Sys::CopyOutcome::Copied:
        outcome.state = EntryState::Done;
        outcome.made = true;
        outcome.sizeWhenOpened = copied.sizeWhenOpened;
        outcome.sizeCopied = copied.sizeCopied;
        break;
    case Sys::CopyOutcome::Failed:
        outcome.state = EntryState::Failed;
        outcome.failedKind = kindOf(copied.failedCall);
        outcome.errorNumber = copied.errorNumber;
        break;
    case Sys::CopyOutcome::Cancelled: outcome.state = EntryState::Cancelled; break;
    }
    return outcome;
}
