// The parallel copy of a folder tree.
#include "tree/tree_copy.h"

#include "sys/files.h"
#include "sys/folder_io.h"
#include "sys/interrupt.h"
#include "sys/threads.h"
#include "tree/copy_entry.h"
#include "tree/tree_listing.h"

#include <QFile>
#include <QMutex>
#include <QWaitCondition>

#include <atomic>
#include <cerrno>
#include <climits>
#include <memory>
#include <vector>

namespace {

// Entries walked but not yet copied, or copied after one still under way. Large enough that
// the copy threads never wait for the walk, small enough to stay a few hundred kilobytes.
constexpr std::size_t windowSize = 4096;
// Folders the walk has left whose files are still in the window; each holds three descriptors.
constexpr int leftFolderLimit = 128;
// A copy thread takes up to this many files of one folder at once, of this many bytes together
// past the first: fewer trips through the lock, and threads that work in different folders
// contend less for a folder's lock in the kernel. Large files still go one per thread.
constexpr int runFiles = 128;
constexpr qint64 runBytes = qint64(1) << 20;
// The walk hands over up to this many files of a folder at once; with a progress line it reports
// as often, never per file.
constexpr std::size_t pushedFiles = 64;
constexpr unsigned long progressWaitMs = 250;

// Marks outcome failed by the call that just failed.
bool fail(EntryOutcome& outcome, CopyFailureKind kind)
{
    outcome.state = EntryState::Failed;
    outcome.failedKind = kind;
    outcome.errorNumber = errno;
    return false;
}

class TreeCopy {
public:
    TreeCopy(const TreeCopyOptions& options, CopyResult& result)
        : m_options(options), m_result(result), m_runsAsRoot(Sys::runsAsRoot()),
          m_newFolderMode(0777 & ~Sys::creationMask())
    {
    }

    bool run(const TreeListing& listing, Sys::Descriptor source, Sys::Descriptor target,
             Sys::Descriptor linkFrom);

private:
    bool walk(const TreeListing& listing, const ListedFolder& listed,
              const std::shared_ptr<CopyFolder>& folder, int depth);
    bool makeFolder(const CopyFolder& parent, const ListedEntry& listed, WindowEntry& entry,
                    CopyFolder& child);
    bool needsOwner(const CopyFolder& folder) const;
    bool waitForRoom(int depth);
    bool hasRoom(int depth, std::size_t windowLimit) const;
    void push(std::vector<WindowEntry>& entries);
    void work(bool untilIdle);
    FileStep fileStep(qint64 sequence)
    {
        return {m_linking, m_options.owner, m_options.group,
                [this, sequence] { return m_window.isOvertaken(sequence) || stopRequested(); }};
    }
    void waitForWorkers();
    void stop();
    void showProgress();
    bool stopRequested() const { return m_options.stopWhenRequested && Interrupt::requested(); }

    const TreeCopyOptions& m_options;
    CopyResult& m_result;
    const bool m_runsAsRoot;
    const mode_t m_newFolderMode;
    std::atomic<bool> m_linking{true}; // off after the first link refused across file systems
    std::atomic<int> m_openFolders{0};
    // Folders whose own permission bits would lock out anyone but root: they are made
    // accessible to their owner and get their bits only at the end, deepest first.
    std::vector<std::pair<Sys::Descriptor, mode_t>> m_lockedFolders;
    // Seen by the walk only.
    int m_leftOut = 0;
    QByteArray m_firstLeftOut;
    Sys::CopyBuffer m_callerBuffer;

    QMutex m_mutex;
    QWaitCondition m_workAvailable;
    QWaitCondition m_roomAvailable;
    QWaitCondition m_workerEnded;
    CopyWindow m_window;
    int m_workers = 0; // copy threads started; with none the walk copies each file itself
    int m_endedWorkers = 0;
    bool m_walkDone = false;
    int m_walkWaitsAtDepth = -1;
    int m_idleWorkers = 0;
    std::atomic<bool> m_stopped{false};
};

bool TreeCopy::run(const TreeListing& listing, Sys::Descriptor source, Sys::Descriptor target,
                   Sys::Descriptor linkFrom)
{
    const auto root = std::make_shared<CopyFolder>(m_openFolders);
    root->source = std::move(source);
    root->target = std::move(target);
    root->linkFrom = std::move(linkFrom);
    root->setOwner = needsOwner(*root);
    // Only this thread reads m_workers.
    Sys::Threads threads;
    const int count = root->source.isOpen() ? treeThreads(root->source.get()) : 1;
    m_workers = threads.start(count, [this] { work(false); });
    walk(listing, listing.folder(), root, 0);
    {
        QMutexLocker lock(&m_mutex);
        m_walkDone = true;
        m_workAvailable.wakeAll();
    }
    waitForWorkers();
    threads.joinAll();

    const CopyCounts& counts = m_window.counts();
    m_result.copiedFiles = counts.copiedFiles;
    m_result.linkedFiles = counts.linkedFiles;
    m_result.copiedBytes = counts.copiedBytes;
    m_result.sizeMismatchFile = QFile::decodeName(counts.sizeMismatchPath);
    m_result.sizeWhenOpened = counts.sizeWhenOpened;
    m_result.sizeCopied = counts.sizeCopied;
    m_result.leftOutEntries = m_leftOut;
    m_result.firstLeftOut = QFile::decodeName(m_firstLeftOut);
    bool copied = true;
    if (m_stopped) {
        m_result.stopped = true;
        copied = false;
    } else if (m_window.hasFailed() || !m_window.isWhole()) {
        // A copy is whole or fails: a file never copied fails it as a failed one does.
        m_result.failure = m_window.failure();
        m_window.rollBack([](const WindowEntry& entry) {
            Sys::removeAt(entry.folder->target.get(), entry.name(), entry.isFolder);
        });
        copied = false;
    }
    // Through the folders' own descriptors: a path could meanwhile lead through a link.
    for (auto folder = m_lockedFolders.rbegin(); folder != m_lockedFolders.rend(); ++folder)
        Sys::setStatus(folder->first.get(), folder->second, false, 0, 0);
    return copied;
}

// Depth first in listing order, each folder made before anything inside it.
bool TreeCopy::walk(const TreeListing& listing, const ListedFolder& listed,
                    const std::shared_ptr<CopyFolder>& folder, int depth)
{
    // A folder whose source could not be opened lists nothing.
    const bool open = folder->source.isOpen();
    const std::size_t count = open ? listed.entries.size() : 0;
    if (open && listed.leftOut > 0 && m_leftOut == 0)
        m_firstLeftOut = folder->path + listed.firstLeftOut;
    m_leftOut += open ? listed.leftOut : 0;
    const auto entryAt = [&](std::size_t i) {
        const ListedEntry& listedEntry = listed.entries[i];
        WindowEntry entry;
        entry.folder = folder;
        entry.path = folder->path + listed.name(listedEntry);
        entry.nameAt = folder->path.size();
        entry.isFolder = listedEntry.isFolder();
        entry.listed = &listedEntry;
        entry.size = listedEntry.known ? listedEntry.size : -1;
        return entry;
    };
    std::vector<WindowEntry> files;
    for (std::size_t i = 0; i < count;) {
        if (!waitForRoom(depth))
            return false;
        if (m_options.progress)
            showProgress();
        const ListedEntry& listedEntry = listed.entries[i];
        if (!listedEntry.isFolder()) {
            // The files up to the next folder, a batch at a time: one trip through the lock.
            for (; i < count && !listed.entries[i].isFolder() && files.size() < pushedFiles; ++i)
                files.push_back(entryAt(i));
            push(files);
            if (m_workers == 0)
                work(true);
            continue;
        }
        WindowEntry entry = entryAt(i++);
        const auto child = std::make_shared<CopyFolder>(m_openFolders);
        const bool made = makeFolder(*folder, listedEntry, entry, *child);
        files.push_back(std::move(entry));
        push(files);
        if (!made || !walk(listing, listing.folder(listedEntry.child), child, depth + 1))
            return false;
    }
    return true;
}

bool TreeCopy::makeFolder(const CopyFolder& parent, const ListedEntry& listed, WindowEntry& entry,
                          CopyFolder& child)
{
    const char* name = entry.name();
    EntryOutcome& outcome = entry.outcome;
    child.path = entry.path + '/';
    if (!Sys::makeFolderAt(parent.target.get(), name, child.target, outcome.made))
        return fail(outcome, CopyFailureKind::CreateFolder);
    if (outcome.made) {
        mode_t permissions = listed.known ? mode_t(listed.permissions) : m_newFolderMode;
        if (!m_runsAsRoot && (permissions & 0700) != 0700) {
            m_lockedFolders.emplace_back(Sys::openFolderAt(child.target.get(), "."), permissions);
            permissions |= 0700;
        }
        // Set even when the bits look right: a folder inherits the set-group bit.
        if (!Sys::setStatus(child.target.get(), permissions, parent.setOwner, m_options.owner,
                            m_options.group)) {
            fail(outcome, CopyFailureKind::OwnerMode);
            Sys::removeAt(parent.target.get(), name, true);
            outcome.made = false;
            return false;
        }
    }
    outcome.state = EntryState::Done;
    child.setOwner = needsOwner(child);
    if (parent.source.isOpen())
        child.source = Sys::openFolderAt(parent.source.get(), name);
    if (parent.linkFrom.isOpen() && m_linking)
        child.linkFrom = Sys::openFolderAt(parent.linkFrom.get(), name);
    return true;
}

bool TreeCopy::needsOwner(const CopyFolder& folder) const
{
    return m_options.setOwner
           && !Sys::createsOwnedBy(folder.target.get(), m_options.owner, m_options.group);
}

bool TreeCopy::hasRoom(int depth, std::size_t windowLimit) const
{
    // The walk itself holds the folders from the root down to depth.
    return m_window.size() < windowLimit && m_openFolders - (depth + 1) < leftFolderLimit;
}

// Waits until the window takes another entry; false when the walk is to end.
bool TreeCopy::waitForRoom(int depth)
{
    QMutexLocker lock(&m_mutex);
    for (;;) {
        if (m_window.hasFailed() || m_stopped)
            return false;
        if (stopRequested()) {
            stop();
            return false;
        }
        // Without copy threads the walk has copied everything it pushed.
        if (m_workers == 0 || hasRoom(depth, windowSize))
            return true;
        m_walkWaitsAtDepth = depth;
        m_roomAvailable.wait(&m_mutex, m_options.progress ? progressWaitMs : ULONG_MAX);
        m_walkWaitsAtDepth = -1;
        if (m_options.progress) { // drawn without the lock: the copy threads go on meanwhile
            lock.unlock();
            showProgress();
            lock.relock();
        }
    }
}

void TreeCopy::push(std::vector<WindowEntry>& entries)
{
    QMutexLocker lock(&m_mutex);
    const bool hasFile = !entries.front().isFolder;
    for (WindowEntry& entry : entries)
        m_window.push(std::move(entry));
    entries.clear();
    if (hasFile && m_idleWorkers > 0)
        m_workAvailable.wakeAll();
}

void TreeCopy::stop()
{
    m_stopped = true;
    m_workAvailable.wakeAll();
    m_roomAvailable.wakeAll();
}

// Copies the files of the window in walk order, a run of small files of one folder at a time.
// A copy thread waits for the walk and returns at its end; the calling thread (untilIdle)
// returns as soon as no file is waiting.
void TreeCopy::work(bool untilIdle)
{
    Sys::CopyBuffer ownBuffer;
    Sys::CopyBuffer& buffer = untilIdle ? m_callerBuffer : ownBuffer;
    std::vector<WindowEntry> run;
    std::vector<EntryOutcome> outcomes;
    QMutexLocker lock(&m_mutex);
    for (;;) {
        qint64 sequence = 0;
        int count = 0;
        const CopyWindow::Next next = m_stopped ? CopyWindow::Next::Stop
                                                : m_window.take(sequence, count, runFiles, runBytes);
        if (next == CopyWindow::Next::Stop)
            break;
        if (next == CopyWindow::Next::NoneYet) {
            if (m_walkDone || untilIdle)
                break;
            ++m_idleWorkers;
            m_workAvailable.wait(&m_mutex);
            --m_idleWorkers;
            continue;
        }
        if (stopRequested()) {
            stop();
            break;
        }
        // Copies: the window's deque may move its entries while the lock is let go.
        for (int i = 0; i < count; ++i)
            run.push_back(m_window.at(sequence + i));
        lock.unlock();
        // Past a failure (its own or another thread's) or a stop request the rest is not begun.
        for (int i = 0; i < count; ++i) {
            EntryOutcome outcome;
            outcome.state = EntryState::Cancelled;
            if (!m_window.isOvertaken(sequence + i) && !stopRequested())
                outcome = copyListedFile(*run[std::size_t(i)].folder, run[std::size_t(i)],
                                         fileStep(sequence + i), buffer);
            outcomes.push_back(outcome);
            if (outcome.state != EntryState::Done)
                break;
        }
        outcomes.resize(std::size_t(count), EntryOutcome{EntryState::Cancelled});
        run.clear(); // the last reference to a folder goes in the window, under the lock
        lock.relock();
        bool stopNow = false;
        for (int i = 0; i < count; ++i) {
            const EntryOutcome& outcome = outcomes[std::size_t(i)];
            if (m_window.finish(sequence + i, outcome))
                m_roomAvailable.wakeAll(); // the walk ends
            stopNow = stopNow || (outcome.state == EntryState::Cancelled && stopRequested());
        }
        outcomes.clear();
        if (stopNow)
            stop();
        // Half empty before the walk goes on: it then adds entries in one go.
        if (m_walkWaitsAtDepth >= 0 && hasRoom(m_walkWaitsAtDepth, windowSize / 2))
            m_roomAvailable.wakeOne();
    }
    if (!untilIdle) {
        ++m_endedWorkers;
        m_workerEnded.wakeAll();
    }
}

void TreeCopy::waitForWorkers()
{
    QMutexLocker lock(&m_mutex);
    while (m_endedWorkers < m_workers) {
        m_workerEnded.wait(&m_mutex, m_options.progress ? progressWaitMs : ULONG_MAX);
        if (m_options.progress) {
            lock.unlock();
            showProgress();
            lock.relock();
        }
    }
}

void TreeCopy::showProgress()
{
    m_options.progress(m_window.doneFiles(), m_window.doneBytes());
}

} // namespace

bool copyTree(const TreeListing& listing, Sys::Descriptor source, Sys::Descriptor target,
              Sys::Descriptor linkFrom, const TreeCopyOptions& options, CopyResult& result)
{
    return TreeCopy(options, result)
        .run(listing, std::move(source), std::move(target), std::move(linkFrom));
}
