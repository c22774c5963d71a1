// The listing of a whole tree, read once on a few threads: every folder's entries as the folder
// listing shows them, in its order, with their status. It measures the tree for the free-space
// check and the progress line and then leads the copy, so that the copy reads no folder and
// looks up no file's status a second time, and its walk only hands out what is listed here.
//
// Compact: a folder's names sit in one buffer, an entry takes a few words, nothing per entry
// is allocated on its own.
#pragma once

#include "sys/folder_io.h"

#include <QByteArray>
#include <QtGlobal>

#include <cstdint>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

struct ListedEntry {
    std::uint32_t nameAt = 0; // in the folder's names
    int child = -1;           // a folder's own listing; -1 for a file
    qint64 size = 0;
    qint64 modifiedSeconds = 0;
    qint64 accessedSeconds = 0;
    std::int32_t modifiedNanoseconds = 0;
    std::int32_t accessedNanoseconds = 0;
    std::uint16_t permissions = 0; // 07777
    bool sparse = false;
    bool known = false; // the status was read and agrees with the listed type

    bool isFolder() const { return child >= 0; }
    Sys::FileStatus status() const;
};

struct ListedFolder {
    std::string names; // each ending in a NUL
    std::vector<ListedEntry> entries;
    int leftOut = 0;         // entries the listing leaves out
    QByteArray firstLeftOut; // the first of them in byte order

    const char* name(const ListedEntry& entry) const { return names.data() + entry.nameAt; }
};

class TreeListing {
public:
    TreeListing() { m_folders.emplace_back(); } // an empty top folder
    // Lists the tree below the open folder top (read through a descriptor of its own) on
    // threads threads, the calling thread among them. A folder that cannot be opened or read
    // lists nothing.
    void read(int top, int threads);

    // The top folder; each folder entry's child indexes another.
    const ListedFolder& folder(int index = 0) const { return m_folders[std::size_t(index)]; }
    // The regular files whose status was read, and their bytes.
    qint64 files() const { return m_files; }
    qint64 bytes() const { return m_bytes; }

private:
    friend class TreeReader;
    std::deque<ListedFolder> m_folders; // grows while it is read: elements stay in place
    qint64 m_files = 0;
    qint64 m_bytes = 0;
};

// Threads for work on the tree below the open folder: one per core where its files are in
// memory; more where they lie on a device, whose reads wait on the device rather than on a
// processor, and which serves many requests at once.
int treeThreads(int folder);
