// The removal of a whole folder tree behind restoreFolder and removeBackupEntries.
#include "fs/tree_removal.h"

#include "sys/tree.h"

#include <QByteArray>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <deque>
#include <memory>
#include <vector>

namespace {

// Folders waiting for a thread; each is held open.
constexpr std::size_t queueSize = 64;

// Unlinks everything in a tree but its folders on a pool of threads, one folder per thread at
// a time: removals in one folder take turns on its lock, removals in different ones do not.
// The walk on the calling thread only looks for folders. Errors are left to the removal that
// follows, which meets the same entries.
class FileRemoval {
  public:
    void run(int folder, const char* name);

  private:
    void walk(Sys::Descriptor folder);
    void work();

    QMutex m_mutex;
    QWaitCondition m_jobsAvailable;
    QWaitCondition m_roomAvailable;
    std::deque<std::shared_ptr<const Sys::Descriptor>> m_jobs;
    bool m_walkDone = false;
};

void FileRemoval::run(int folder, const char* name)
{
    Sys::Descriptor top = Sys::openFolderAt(folder, name);
    if (!top.isOpen())
        return;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = std::max(1, QThread::idealThreadCount()); i > 0; --i) {
        threads.emplace_back(QThread::create([this] { work(); }));
        threads.back()->start();
    }
    walk(std::move(top));
    {
        QMutexLocker lock(&m_mutex);
        m_walkDone = true;
        m_jobsAvailable.wakeAll();
    }
    for (const auto& thread : threads)
        thread->wait();
}

void FileRemoval::walk(Sys::Descriptor folder)
{
    const auto shared = std::make_shared<const Sys::Descriptor>(std::move(folder));
    std::vector<QByteArray> folders;
    Sys::readFolder(shared->get(), [&](const char* name, Sys::EntryType type) {
        if (type == Sys::EntryType::Folder)
            folders.emplace_back(name);
    });
    {
        QMutexLocker lock(&m_mutex);
        while (m_jobs.size() >= queueSize)
            m_roomAvailable.wait(&m_mutex);
        m_jobs.push_back(shared);
        m_jobsAvailable.wakeOne();
    }
    // One that cannot be opened (no descriptor left, no permission) is left to the removal
    // that follows.
    for (const QByteArray& name : folders) {
        Sys::Descriptor inner = Sys::openFolderAt(shared->get(), name.constData());
        if (inner.isOpen())
            walk(std::move(inner));
    }
}

void FileRemoval::work()
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
        Sys::readFolder(folder->get(), [&](const char* name, Sys::EntryType type) {
            if (type != Sys::EntryType::Folder)
                Sys::removeAt(folder->get(), name, false);
        });
        lock.relock();
    }
}

} // namespace

bool removeTree(int folder, const char* name)
{
    FileRemoval().run(folder, name);
    // Now mostly folders: removed one by one, with what could not go before.
    return Sys::removeTreeAt(folder, name);
}
