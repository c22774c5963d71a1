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

// Names waiting for a thread; each holds its folder open.
constexpr std::size_t queueSize = 1024;

// Unlinks everything in a tree but its folders, on a pool of threads fed by a walk on the
// calling thread. Errors are left to the removal that follows, which meets the same entries.
class FileRemoval {
  public:
    void run(int folder, const char* name);

  private:
    struct Job {
        std::shared_ptr<const Sys::Descriptor> folder;
        QByteArray name;
    };
    void walk(const std::shared_ptr<const Sys::Descriptor>& folder);
    void work();

    QMutex m_mutex;
    QWaitCondition m_jobsAvailable;
    QWaitCondition m_roomAvailable;
    std::deque<Job> m_jobs;
    bool m_walkDone = false;
};

void FileRemoval::run(int folder, const char* name)
{
    const auto top = std::make_shared<const Sys::Descriptor>(Sys::openFolderAt(folder, name));
    if (!top->isOpen())
        return;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = std::max(1, QThread::idealThreadCount()); i > 0; --i) {
        threads.emplace_back(QThread::create([this] { work(); }));
        threads.back()->start();
    }
    walk(top);
    {
        QMutexLocker lock(&m_mutex);
        m_walkDone = true;
        m_jobsAvailable.wakeAll();
    }
    for (const auto& thread : threads)
        thread->wait();
}

void FileRemoval::walk(const std::shared_ptr<const Sys::Descriptor>& folder)
{
    std::vector<QByteArray> folders;
    Sys::readFolder(folder->get(), [&](const char* name, Sys::EntryType type) {
        if (type == Sys::EntryType::Folder) {
            folders.emplace_back(name);
            return;
        }
        QMutexLocker lock(&m_mutex);
        while (m_jobs.size() >= queueSize)
            m_roomAvailable.wait(&m_mutex);
        m_jobs.push_back({folder, QByteArray(name)});
        m_jobsAvailable.wakeOne();
    });
    for (const QByteArray& name : folders) {
        // One that cannot be opened (no descriptor left, no permission) is left to the removal
        // that follows.
        const auto inner = std::make_shared<const Sys::Descriptor>(
            Sys::openFolderAt(folder->get(), name.constData()));
        if (inner->isOpen())
            walk(inner);
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
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_roomAvailable.wakeOne();
        lock.unlock();
        Sys::removeAt(job.folder->get(), job.name.constData(), false);
        job.folder.reset();
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
