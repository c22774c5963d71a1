// One step of a tree copy: a folder open on every side, and the copy (or link) of one listed
// file inside it.
#pragma once

#include "sys/descriptor.h"
#include "sys/file_copy.h"
#include "tree/copy_window.h"

#include <QByteArray>

#include <atomic>
#include <functional>
#include <sys/types.h>

// One folder of the tree, open in the source, the target and the earlier copy (if any).
struct CopyFolder {
    explicit CopyFolder(std::atomic<int>& count) : openFolders(count) { ++openFolders; }
    ~CopyFolder() { --openFolders; }
    CopyFolder(const CopyFolder&) = delete;
    CopyFolder& operator=(const CopyFolder&) = delete;

    std::atomic<int>& openFolders;
    Sys::Descriptor source;
    Sys::Descriptor target;
    Sys::Descriptor linkFrom;
    QByteArray path;       // relative to the roots, ending in "/"; empty for the roots
    bool setOwner = false; // the files made here need the owner set
};

struct FileStep {
    std::atomic<bool>& linking; // goes off for good after the first link refused across file systems
    uid_t owner = 0;
    gid_t group = 0;
    std::function<bool()> cancelled; // asked between chunks of a large file
};

// Links entry from the earlier copy when its listed size, modification time and permission
// bits equal the earlier copy's; copies it otherwise.
EntryOutcome copyListedFile(const CopyFolder& folder, const WindowEntry& entry,
                            const FileStep& step, Sys::CopyBuffer& buffer);
