// Making a written tree durable without waiting for what other programs wrote.
//
// syncfs writes out everything unwritten on the file system, another program's gigabytes
// included. A tree is made durable instead by an fsync of each of its files and folders, on
// many threads at once since each waits on the disk and not on the processor; syncfs is taken
// only where it costs no more: when the system holds little unwritten data beyond the tree's.
#pragma once

#include <QByteArray>

struct FlushFailure {
    QByteArray path;     // relative to the tree's folder; empty for the folder itself
    int errorNumber = 0; // 0 while nothing failed
};

// Makes durable the open folder root, every file and folder its listing shows below it (see
// folder_listing.h), and the hidden files and folders directly in root (themselves, not what
// they hold). On a file system kept in memory only root itself is flushed: nothing there
// outlives a restart. False, with the first failure in failure, when any call failed.
bool flushTree(int root, FlushFailure& failure);
