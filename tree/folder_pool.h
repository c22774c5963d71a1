// Work on every folder of a tree, side by side on a few threads: measuring and removing trees.
#pragma once

#include "sys/folder_io.h"

#include <QtGlobal>

#include <functional>

// Runs work once for every folder of the tree below the open folder top, top included: the
// calling thread walks the tree (never through a link) and a pool of threads runs the work, a
// folder per thread at a time, so that folders are worked on side by side while the entries
// of one folder, which share its lock in the kernel, are not. With listedOnly the walk goes
// only into the folders that a folder listing shows (no hidden ones). A folder that cannot be
// opened is passed over. When no thread can be started the calling thread does the work
// itself. Returns when all work is done.
void forEachFolder(int top, bool listedOnly, const std::function<void(int folder)>& work);

struct TreeMeasure {
    qint64 files = 0;
    qint64 bytes = 0;
};

// The regular files of the tree below the open folder top, as the folder listing shows them.
TreeMeasure measureTree(int top);

// Removes name inside the open folder with everything it holds, as Sys::removeTreeAt does,
// with the files of all its folders removed side by side first.
bool removeTree(int folder, const char* name, Sys::RemovalFailure& failure);
