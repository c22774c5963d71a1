// The parallel copy of a folder tree behind copyFolder.
//
// The calling thread walks the source in listing order, creates each target folder before
// anything inside it and hands the files to a few copy threads through a window of bounded
// size, so memory does not grow with the tree. Every entry has its place in the walk order: a
// failure is reported for the first failing entry in that order, nothing after it is started
// once it is known, and whatever after it was copied meanwhile is removed again, so the target
// ends as a one-by-one copy would have left it.
#pragma once

#include "fs/folder_ops.h"
#include "sys/tree.h"

#include <QString>

// Copies the tree below the open folder source into the open folder target; linkFrom is an
// open earlier copy of the tree or not open; a source not open lists nothing. sourcePath and
// targetPath only name entries in error lines. On failure writes one line ("Failed to copy file %s
// to %s" or "Failed to create folder %s") and returns false; a stop request ends it without a line,
// with result.stopped set.
bool copyTree(Sys::Descriptor source, Sys::Descriptor target, Sys::Descriptor linkFrom,
              const QString& sourcePath, const QString& targetPath, const CopyOptions& options,
              CopyResult& result);
