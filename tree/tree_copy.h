// The parallel copy of a folder tree.
//
// The calling thread walks the tree's listing (made before, on several threads), creates each
// target folder before anything inside it and hands the files to a few copy threads (one per
// core; more where the source lies on a device: see treeThreads) through a window of bounded
// size, so memory does not grow with the tree beyond its listing. When no copy thread can be started, the
// calling thread copies each file itself. Every entry has its place in the walk order: the
// failure is that of the first failing entry in that order, nothing after it is started once
// it is known, and whatever after it was copied meanwhile is removed again, so the target ends
// as a one-by-one copy would have left it. Nothing is written to the log.
#pragma once

#include "sys/descriptor.h"
#include "tree/copy_window.h"
#include "tree/tree_listing.h"

#include <QString>

#include <functional>
#include <sys/types.h>

struct TreeCopyOptions {
    // A stop request (SIGINT, SIGTERM, SIGHUP) ends the copy before the next file.
    bool stopWhenRequested = false;
    // Every folder and file created takes this owner and group.
    bool setOwner = false;
    uid_t owner = 0;
    gid_t group = 0;
    // Called on the calling thread a few times a second with the files and bytes done so far;
    // the copy then waits in short steps.
    std::function<void(qint64 files, qint64 bytes)> progress;
};

struct CopyResult {
    qint64 copiedFiles = 0;
    qint64 linkedFiles = 0;
    qint64 copiedBytes = 0;
    bool stopped = false; // ended by a stop request
    CopyFailure failure;  // when the copy failed and was not stopped
    // The first file, in walk order, whose copy does not have the size its source had when
    // it was opened (it changed during the copy): its path relative to the source folder.
    // Empty when every size matched. Not a failure of the copy: the backup's check reports it.
    QString sizeMismatchFile;
    qint64 sizeWhenOpened = 0;
    qint64 sizeCopied = 0;
    // Entries that the listing left out (hidden names, symbolic links, special files), and the
    // first of them met, relative to the source folder.
    int leftOutEntries = 0;
    QString firstLeftOut;
};

// Copies the tree below the open folder source, as listing shows it, into the open folder
// target: content, permission bits and modification time; holes of sparse files stay holes.
// linkFrom is an open earlier copy of the tree, or not open: a file whose listed size,
// modification time and permission bits equal those of the earlier copy at the same path is
// hard-linked from it instead, and any link error falls back to a copy. A copied file takes the
// listed status (a change since shows as a size mismatch). A source not open lists nothing.
// False when the copy failed (result.failure) or was stopped (result.stopped).
bool copyTree(const TreeListing& listing, Sys::Descriptor source, Sys::Descriptor target,
              Sys::Descriptor linkFrom, const TreeCopyOptions& options, CopyResult& result);
