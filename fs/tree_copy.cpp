// The parallel copy of a folder tree behind copyFolder.
#include "fs/tree_copy.h"

#include "fs/destination.h"
#include "fs/folder_listing.h"
#include "fs/folder_pool.h"
#include "fs/progress.h"
#include "platform/brisken/trace.h"
#include "sys/files.h"
#include "sys/interrupt.h"

#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <climits>
#include <cerrno>
#include <deque>
#include <limits>
#include <memory>
#include <vector>

namespace {

// Entries walked but not yet copied, or copied after one still under way. Large enough that
// the copy threads never wait for the walk, small enough to stay a few hundred kilobytes.
constexpr std::size_t windowSize = 4096;
// Folders the walk has left whose files are still in the window; each holds three descriptors.
constexpr int leftFolderLimit = 128;

constexpr qint64 noFailure = std::numeric_limits<qint64>::max();
// On a terminal, the walk looks at the progress line this often, never per file.
constexpr int progressEveryEntries = 64;
constexpr unsigned long progressWaitMs = 250;

// One folder of the tree, open in the source, the target and the earlier copy (if any).
struct Folder {
    explicit Folder(std::atomic<int>& count) : openFolders(count) { ++openFolders; }
    ~Folder() { --openFolders; }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    std::atomic<int>& openFolders;
    Sys::Descriptor source;
    Sys::Descriptor target;
    Sys::Descriptor linkFrom;
    QByteArray path;       // relative to the roots, ending in "/"; empty for the roots
    bool setOwner = false; // the files made here need the owner set
};

enum class State { Waiting, Running, Done, Failed, Cancelled };

// An entry in walk order. Folders are made by the walk and are done (or failed) at once.
struct Item {
    std::shared_ptr<const Folder> folder; // the folder the entry lies in
    QByteArray name;
    bool isFolder = false;
    State state = State::Waiting;
    bool made = false; // the target entry exists and this copy made it
    bool linked = false;
    qint64 sizeWhenOpened = 0;
    qint64 sizeCopied = 0;
};

class TreeCopy {
public:
    TreeCopy(const CopyOptions& options, CopyResult& result)
        : m_options(options), m_result(result), m_runsAsRoot(Sys::runsAsRoot()),
          m_newFolderMode(0777 & ~Sys::creationMask()), m_progress("Copying media library")
    {
    }

    bool run(Sys::Descriptor source, Sys::Descriptor target, Sys::Descriptor linkFrom,
             const QString& sourcePath, const QString& targetPath);

private:
    bool walk(const std::shared_ptr<Folder>& folder, int depth);
    bool makeFolder(const Folder& parent, Item& item, Folder& child);
    bool needsOwner(const Folder& folder) const;
    bool waitForRoom(int depth);
    bool hasRoom(int depth, std::size_t windowLimit) const;
    void push(Item&& item);
    void work();
    void copyFile(Item& item, qint64 sequence, Sys::CopyBuffer& buffer);
    bool tryLink(Item& item);
    void retire();
    void stop();
    void showProgress();
    bool stopRequested() const { return m_options.stopWhenRequested && Interrupt::requested(); }

    const CopyOptions& m_options;
    CopyResult& m_result;
    const bool m_runsAsRoot;
    const mode_t m_newFolderMode;
    std::atomic<bool> m_linking{true}; // off after the first link refused across file systems
    std::atomic<int> m_openFolders{0};
    // Folders whose own permission bits would lock out anyone but root: they are made
    // accessible to their owner and get their bits only at the end, deepest first.
    std::vector<std::pair<QByteArray, mode_t>> m_lockedFolders;

    QMutex m_mutex;
    QWaitCondition m_workAvailable;
    QWaitCondition m_roomAvailable;
    std::deque<Item> m_window; // the entries from m_first on, in walk order
    qint64 m_first = 0;
    qint64 m_next = 0; // the next entry for a copy thread
    bool m_walkDone = false;
    int m_walkWaitsAtDepth = -1;
    int m_idleWorkers = 0;
    std::atomic<qint64> m_firstFailure{noFailure};
    std::atomic<bool> m_stopped{false};

    // Drawn by the walking thread only; the copy threads just count.
    Progress m_progress;
    TreeMeasure m_total;
    std::atomic<qint64> m_doneFiles{0};
    std::atomic<qint64> m_doneBytes{0};
};

void TreeCopy::showProgress()
{
    const qint64 bytes = m_doneBytes;
    m_progress.update(bytes, [&] {
        return QStringLiteral("%1 of %2 files, %3 of %4")
            .arg(m_doneFiles.load())
            .arg(m_total.files)
            .arg(formatSize(bytes), formatSize(m_total.bytes));
    });
}

bool TreeCopy::run(Sys::Descriptor source, Sys::Descriptor target, Sys::Descriptor linkFrom,
                   const QString& sourcePath, const QString& targetPath)
{
    const auto root = std::make_shared<Folder>(m_openFolders);
    root->source = std::move(source);
    root->target = std::move(target);
    root->linkFrom = std::move(linkFrom);
    root->setOwner = needsOwner(*root);
    // The totals cost a walk of their own: only a terminal gets them.
    if (m_progress.isActive() && root->source.isOpen())
        m_total = measureTree(root->source.get());
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = std::max(1, QThread::idealThreadCount()); i > 0; --i) {
        threads.emplace_back(QThread::create([this] { work(); }));
        threads.back()->start();
    }
    walk(root, 0);
    {
        QMutexLocker lock(&m_mutex);
        m_walkDone = true;
        m_workAvailable.wakeAll();
    }
    for (const auto& thread : threads) {
        while (!thread->wait(m_progress.isActive() ? progressWaitMs : ULONG_MAX))
            showProgress();
    }
    m_progress.clear();

    bool copied = true;
    if (m_stopped) {
        m_result.stopped = true;
        copied = false;
    } else if (m_firstFailure != noFailure) {
        const std::size_t failed = std::size_t(m_firstFailure - m_first);
        const Item& item = m_window[failed];
        const QByteArray path = item.folder->path + item.name;
        if (item.isFolder)
            Brisken::Trace::error("Failed to create folder %s",
                                  qUtf8Printable(joinedPath(targetPath, path)));
        else
            Brisken::Trace::error("Failed to copy file %s to %s",
                                  qUtf8Printable(joinedPath(sourcePath, path)),
                                  qUtf8Printable(joinedPath(targetPath, path)));
        // What a one-by-one copy would not have reached goes again, the last made first so
        // that each folder is empty when its turn comes.
        for (std::size_t i = m_window.size() - 1; i > failed; --i)
            if (m_window[i].made)
                Sys::removeAt(m_window[i].folder->target.get(), m_window[i].name.constData(),
                              m_window[i].isFolder);
        copied = false;
    }
    for (auto folder = m_lockedFolders.rbegin(); folder != m_lockedFolders.rend(); ++folder)
        Sys::setPermissionsAt(root->target.get(), folder->first.constData(), folder->second);
    return copied;
}

// Depth first in listing order, each folder made before anything inside it.
bool TreeCopy::walk(const std::shared_ptr<Folder>& folder, int depth)
{
    FolderListing listing;
    if (folder->source.isOpen()) // one that cannot be read lists nothing
        listing.read(folder->source.get(), FolderListing::Order::ByName);
    for (int i = 0; i < listing.size(); ++i) {
        if (!waitForRoom(depth))
            return false;
        if (m_progress.isActive() && i % progressEveryEntries == 0)
            showProgress();
        Item item;
        item.folder = folder;
        item.name = QByteArray(listing.name(i));
        item.isFolder = listing.isFolder(i);
        if (!item.isFolder) {
            push(std::move(item));
            continue;
        }
        const auto child = std::make_shared<Folder>(m_openFolders);
        const bool made = makeFolder(*folder, item, *child);
        item.state = made ? State::Done : State::Failed;
        push(std::move(item));
        if (!made || !walk(child, depth + 1))
            return false;
    }
    return true;
}

bool TreeCopy::makeFolder(const Folder& parent, Item& item, Folder& child)
{
    const char* name = item.name.constData();
    child.path = parent.path + item.name + '/';
    Sys::FileStatus status;
    const bool known = parent.source.isOpen() && Sys::statAt(parent.source.get(), name, status);
    if (!Sys::makeFolderAt(parent.target.get(), name, child.target, item.made))
        return false;
    if (item.made) {
        mode_t permissions = known ? status.permissions : m_newFolderMode;
        if (!m_runsAsRoot && (permissions & 0700) != 0700) {
            m_lockedFolders.emplace_back(child.path, permissions);
            permissions |= 0700;
        }
        // Set even when the bits look right: a folder inherits the set-group bit.
        if (!Sys::setStatus(child.target.get(), permissions, parent.setOwner, m_options.owner,
                            m_options.group)) {
            Sys::removeAt(parent.target.get(), name, true);
            item.made = false;
            return false;
        }
    }
    child.setOwner = needsOwner(child);
    if (parent.source.isOpen())
        child.source = Sys::openFolderAt(parent.source.get(), name);
    if (parent.linkFrom.isOpen() && m_linking)
        child.linkFrom = Sys::openFolderAt(parent.linkFrom.get(), name);
    return true;
}

bool TreeCopy::needsOwner(const Folder& folder) const
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
        if (m_firstFailure != noFailure || m_stopped)
            return false;
        if (stopRequested()) {
            stop();
            return false;
        }
        if (hasRoom(depth, windowSize))
            return true;
        m_walkWaitsAtDepth = depth;
        m_roomAvailable.wait(&m_mutex, m_progress.isActive() ? progressWaitMs : ULONG_MAX);
        m_walkWaitsAtDepth = -1;
        if (m_progress.isActive()) { // drawn without the lock: the copy threads go on meanwhile
            lock.unlock();
            showProgress();
            lock.relock();
        }
    }
}

void TreeCopy::push(Item&& item)
{
    QMutexLocker lock(&m_mutex);
    const qint64 sequence = m_first + qint64(m_window.size());
    if (item.state == State::Failed)
        m_firstFailure = std::min<qint64>(m_firstFailure, sequence);
    const bool isFolder = item.isFolder;
    m_window.push_back(std::move(item));
    if (isFolder)
        retire(); // done at once: it may be the oldest entry
    else if (m_idleWorkers > 0)
        m_workAvailable.wakeOne();
}

void TreeCopy::stop()
{
    m_stopped = true;
    m_workAvailable.wakeAll();
    m_roomAvailable.wakeAll();
}

void TreeCopy::work()
{
    Sys::CopyBuffer buffer;
    QMutexLocker lock(&m_mutex);
    for (;;) {
        const qint64 end = m_first + qint64(m_window.size());
        m_next = std::max(m_next, m_first);
        while (m_next < end && m_window[std::size_t(m_next - m_first)].isFolder)
            ++m_next;
        // Nothing after a known failure is started.
        if (m_stopped || m_next >= m_firstFailure)
            return;
        if (m_next == end) {
            if (m_walkDone)
                return;
            ++m_idleWorkers;
            m_workAvailable.wait(&m_mutex);
            --m_idleWorkers;
            continue;
        }
        if (stopRequested()) {
            stop();
            return;
        }
        const qint64 sequence = m_next++;
        Item& slot = m_window[std::size_t(sequence - m_first)];
        slot.state = State::Running;
        Item item;
        item.folder = slot.folder;
        item.name = slot.name;
        lock.unlock();
        copyFile(item, sequence, buffer);
        item.folder.reset(); // the last reference to a folder goes in retire(), under the lock
        lock.relock();
        Item& done = m_window[std::size_t(sequence - m_first)];
        done.state = item.state;
        done.made = item.made;
        done.linked = item.linked;
        done.sizeWhenOpened = item.sizeWhenOpened;
        done.sizeCopied = item.sizeCopied;
        if (item.state == State::Failed && sequence < m_firstFailure) {
            m_firstFailure = sequence;
            m_roomAvailable.wakeAll(); // the walk ends
        }
        if (item.state == State::Cancelled && stopRequested())
            stop();
        retire();
    }
}

void TreeCopy::copyFile(Item& item, qint64 sequence, Sys::CopyBuffer& buffer)
{
    if (tryLink(item))
        return;
    Sys::FileCopyOptions options;
    options.setOwner = item.folder->setOwner;
    options.owner = m_options.owner;
    options.group = m_options.group;
    options.cancelled = [this, sequence] { return m_firstFailure < sequence || stopRequested(); };
    Sys::FileCopyResult copied;
    const Folder& folder = *item.folder;
    switch (Sys::copyFileAt(folder.source.get(), folder.target.get(), item.name.constData(),
                            options, buffer, copied)) {
    case Sys::CopyOutcome::Copied:
        item.state = State::Done;
        item.made = true;
        item.sizeWhenOpened = copied.sizeWhenOpened;
        item.sizeCopied = copied.sizeCopied;
        break;
    case Sys::CopyOutcome::Failed: item.state = State::Failed; break;
    case Sys::CopyOutcome::Cancelled: item.state = State::Cancelled; break;
    }
}

// Links the earlier copy of the file when it has the same size, modification time and
// permission bits; false (and nothing done) when the file is to be copied.
bool TreeCopy::tryLink(Item& item)
{
    const Folder& folder = *item.folder;
    if (!folder.linkFrom.isOpen() || !m_linking)
        return false;
    const char* name = item.name.constData();
    Sys::FileStatus source;
    Sys::FileStatus earlier;
    if (!Sys::statAt(folder.source.get(), name, source) || source.type != Sys::EntryType::File
        || !Sys::statAt(folder.linkFrom.get(), name, earlier)
        || earlier.type != Sys::EntryType::File || earlier.size != source.size
        || earlier.permissions != source.permissions
        || earlier.modified.tv_sec != source.modified.tv_sec
        || earlier.modified.tv_nsec != source.modified.tv_nsec)
        return false;
    if (!Sys::linkAt(folder.linkFrom.get(), name, folder.target.get(), name)) {
        if (errno == EXDEV)
            m_linking = false; // every other file would be refused the same way
        return false;
    }
    item.state = State::Done;
    item.made = true;
    item.linked = true;
    item.sizeWhenOpened = item.sizeCopied = source.size;
    return true;
}

// Counts and lets go of the entries at the front that are done; the failed one stays.
void TreeCopy::retire()
{
    while (!m_window.empty() && m_window.front().state == State::Done) {
        const Item& item = m_window.front();
        if (!item.isFolder) {
            ++m_doneFiles;
            m_doneBytes += item.sizeCopied;
            if (item.linked) {
                ++m_result.linkedFiles;
            } else {
                ++m_result.copiedFiles;
                m_result.copiedBytes += item.sizeCopied;
            }
            if (item.sizeCopied != item.sizeWhenOpened && m_result.sizeMismatchFile.isEmpty()) {
                m_result.sizeMismatchFile = QFile::decodeName(item.folder->path + item.name);
                m_result.sizeWhenOpened = item.sizeWhenOpened;
                m_result.sizeCopied = item.sizeCopied;
            }
        }
        m_window.pop_front();
        ++m_first;
    }
    // Half empty before the walk goes on: it then adds entries in one go.
    if (m_walkWaitsAtDepth >= 0 && hasRoom(m_walkWaitsAtDepth, windowSize / 2))
        m_roomAvailable.wakeOne();
}

} // namespace

bool copyTree(Sys::Descriptor source, Sys::Descriptor target, Sys::Descriptor linkFrom,
              const QString& sourcePath, const QString& targetPath, const CopyOptions& options,
              CopyResult& result)
{
    TreeCopy copy(options, result);
    return copy.run(std::move(source), std::move(target), std::move(linkFrom), sourcePath,
                    targetPath);
}
