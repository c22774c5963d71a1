// Work on every folder of a tree, side by side on a few threads.
#include "tree/folder_pool.h"

#include "sys/threads.h"
#include "tree/folder_listing.h"

#include <QByteArray>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <deque>
#include <memory>
#include <vector>

namespace {

// Folders waiting for a thread; each is held open.
constexpr std::size_t queueSize = 64;

class FolderPool {
public:
    FolderPool(bool listedOnly, const std::function<void(int)>& work)
        : m_listedOnly(listedOnly), m_work(work)
    {
    }
    void run(int top);

private:
    void walk(Sys::Descriptor folder);
    void work();

    const bool m_listedOnly;
    const std::function<void(int)>& m_work;
    bool m_inline = false; // no thread started: the walk does the work
    QMutex m_mutex;
    QWaitCondition m_jobsAvailable;
    QWaitCondition m_roomAvailable;
    std::deque<std::shared_ptr<const Sys::Descriptor>> m_jobs;
    bool m_walkDone = false;
};

void FolderPool::run(int top)
{
    // A descriptor of its own for the top: a listing moves the read position, which the
    // caller's descriptor should keep.
    Sys::Descriptor own = Sys::openFolderAt(top, ".");
    if (!own.isOpen())
        return;
    Sys::Threads threads;
    m_inline = threads.start(std::max(1, QThread::idealThreadCount()), [this] { work(); }) == 0;
    walk(std::move(own));
    {
        QMutexLocker lock(&m_mutex);
        m_walkDone = true;
        m_jobsAvailable.wakeAll();
    }
    threads.joinAll();
}

void FolderPool::walk(Sys::Descriptor descriptor)
{
    const auto folder = std::make_shared<const Sys::Descriptor>(std::move(descriptor));
    // The folder is read here before a thread reads it: never both at once.
    std::vector<QByteArray> folders;
    Sys::readFolder(folder->get(), [&](const char* name, Sys::EntryType type) {
        if (type == Sys::EntryType::Folder && (!m_listedOnly || isListed(name, type)))
            folders.emplace_back(name);
    });
    if (m_inline) {
        m_work(folder->get());
    } else {
        QMutexLocker lock(&m_mutex);
        while (m_jobs.size() >= queueSize)
            m_roomAvailable.wait(&m_mutex);
        m_jobs.push_back(folder);
        m_jobsAvailable.wakeOne();
    }
    for (const QByteArray& name : folders) {
        Sys::Descriptor inner = Sys::openFolderAt(folder->get(), name.constData());
        if (inner.isOpen())
            walk(std::move(inner));
    }
}

void FolderPool::work()
{
    QMutexLocker lock(&m_mutex);
    for (;;) {
        while (m_jobs.empty() && !m_walkDone)
            m_jobsAvailable.wait(&m_mutex);
        if (m_jobs.empty())
            return;
        const std::shared_ptr<const Sys::Descriptor> folder = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_roomAvailable.wakeOne();
        lock.unlock();
        m_work(folder->get());
        lock.relock();
    }
}

} // namespace

void forEachFolder(int top, bool listedOnly, const std::function<void(int folder)>& work)
{
    FolderPool(listedOnly, work).run(top);
}

TreeMeasure measureTree(int top)
{
    std::atomic<qint64> files{0};
    std::atomic<qint64> bytes{0};
    forEachFolder(top, true, [&files, &bytes](int folder) {
        TreeMeasure inFolder;
        Sys::readFolder(folder, [&](const char* name, Sys::EntryType type) {
            Sys::FileStatus status;
            if (type == Sys::EntryType::File && isListed(name, type)
                && Sys::statAt(folder, name, status) && status.type == Sys::EntryType::File) {
                ++inFolder.files;
                inFolder.bytes += status.size;
            }
        });
        files += inFolder.files;
        bytes += inFolder.bytes;
    });
    return {files, bytes};
}

bool removeTree(int folder, const char* name, Sys::RemovalFailure& failure)
{
    const Sys::Descriptor top = Sys::openFolderAt(folder, name);
    if (top.isOpen())
        forEachFolder(top.get(), false, [](int inner) {
            Sys::readFolder(inner, [inner](const char* entry, Sys::EntryType type) {
                if (type != Sys::EntryType::Folder)
                    Sys::removeAt(inner, entry, false); // what stays is met again below
            });
        });
    return Sys::removeTreeAt(folder, name, failure);
}
