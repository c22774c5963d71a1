// Making a written tree durable without waiting for what other programs wrote.
#include "tree/tree_flush.h"

#include "sys/files.h"
#include "sys/threads.h"
#include "tree/folder_listing.h"

#include <QMutex>
#include <QMutexLocker>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

namespace {

// fsync waits on the disk: many at once let it write them in one go and share the journal
// commits.
constexpr int flushThreads = 16;
// What syncfs may wait for beyond the tree's own bytes, at about the disk's speed: the fsync of
// one entry costs about as long as writing 8 KiB more (40 000 small files on a virtual disk:
// 28 us an entry, 340 MB/s), and the threads are started once.
constexpr qint64 allowancePerEntry = 8 * 1024;
constexpr qint64 fixedAllowance = 1024 * 1024;

struct Entry {
    std::string path; // relative to the root
    bool isFolder;
};

struct TreeEntries {
    std::vector<Entry> entries;
    qint64 newBytes = 0; // in files with one link: copied or written, not linked from elsewhere
};

void recordFailure(FlushFailure& failure, const std::string& path)
{
    failure.path = QByteArray(path.data(), int(path.size()));
    failure.errorNumber = errno;
}

// Lists what lies below folder (opened at prefix, which ends in "/" unless empty).
bool collect(int folder, const std::string& prefix, TreeEntries& tree, FlushFailure& failure)
{
    FolderListing listing;
    if (!listing.read(folder, FolderListing::Order::AsRead)) {
        recordFailure(failure, prefix.empty() ? prefix : prefix.substr(0, prefix.size() - 1));
        return false;
    }
    for (int i = 0; i < listing.size(); ++i) {
        const std::string path = prefix + listing.name(i);
        tree.entries.push_back({path, listing.isFolder(i)});
        if (!listing.isFolder(i)) {
            Sys::FileStatus status;
            if (Sys::statAt(folder, listing.name(i), status) && status.links == 1)
                tree.newBytes += status.size;
            continue;
        }
        const Sys::Descriptor child = Sys::openFolderAt(folder, listing.name(i));
        if (!child.isOpen()) {
            recordFailure(failure, path);
            return false;
        }
        if (!collect(child.get(), path + '/', tree, failure))
            return false;
    }
    return true;
}

// The hidden files and folders directly in root, which the listing leaves out.
bool collectHidden(int root, TreeEntries& tree, FlushFailure& failure)
{
    if (Sys::readFolder(root, [&tree](const char* name, Sys::EntryType type) {
            if (name[0] == '.' && (type == Sys::EntryType::Folder || type == Sys::EntryType::File))
                tree.entries.push_back({name, type == Sys::EntryType::Folder});
        }))
        return true;
    recordFailure(failure, std::string());
    return false;
}

bool syncfsCostsNoMore(const TreeEntries& tree)
{
    const qint64 unwritten = Sys::unwrittenBytes();
    return unwritten >= 0
           && unwritten <= tree.newBytes + qint64(tree.entries.size()) * allowancePerEntry
                               + fixedAllowance;
}

// An fsync of every entry, on many threads; the calling thread works too, so that the flush
// is done when no thread could be started.
bool syncEach(int root, const std::vector<Entry>& entries, FlushFailure& failure)
{
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    QMutex mutex;
    const auto work = [&] {
        for (std::size_t i; !failed && (i = next++) < entries.size();) {
            if (Sys::syncAt(root, entries[i].path.c_str(), entries[i].isFolder))
                continue;
            QMutexLocker lock(&mutex);
            if (!failed.exchange(true))
                recordFailure(failure, entries[i].path);
        }
    };
    Sys::Threads threads;
    if (entries.size() > 1)
        threads.start(std::min(int(entries.size()) - 1, flushThreads - 1), work);
    work();
    threads.joinAll();
    return !failed;
}

} // namespace

bool flushTree(int root, FlushFailure& failure)
{
    failure = FlushFailure();
    if (!Sys::isKeptInMemory(root)) {
        TreeEntries tree;
        if (!collect(root, std::string(), tree, failure) || !collectHidden(root, tree, failure))
            return false;
        if (syncfsCostsNoMore(tree)) {
            if (!Sys::syncFileSystem(root)) {
                failure.errorNumber = errno;
                return false;
            }
        } else if (!syncEach(root, tree.entries, failure)) {
            return false;
        }
    }
    if (Sys::syncDescriptor(root))
        return true;
    failure.errorNumber = errno;
    return false;
}
