// The bookkeeping of a parallel tree copy, without its threads and its I/O: the entries in walk
// order, which file a copy thread takes next, the first failure in walk order, what to undo
// after it, and the counts. The threaded copy holds it under its lock.
#pragma once

#include <QByteArray>

#include <atomic>
#include <deque>
#include <functional>
#include <limits>
#include <memory>

// Where an entry lies; the window only keeps it alive while the entry is in the window.
struct CopyFolder;
// The entry in the tree's listing, with its status.
struct ListedEntry;

enum class CopyFailureKind {
    CreateFolder, // making or opening a target folder
    ReadSource,   // opening, checking or reading a source file
    WriteTarget,  // creating, writing or closing a target file
    OwnerMode,    // giving a target its owner, permission bits or time
    NotCopied,    // no call failed, but the file was never copied
};

// Why a copy failed: the entry, relative to both roots, and the call that failed.
struct CopyFailure {
    QByteArray path;
    bool isFolder = false;
    CopyFailureKind kind = CopyFailureKind::NotCopied;
    int errorNumber = 0; // the failed call's errno; 0 for NotCopied
};

enum class EntryState { Waiting, Running, Done, Failed, Cancelled };

struct EntryOutcome {
    EntryState state = EntryState::Waiting;
    bool made = false;   // the target entry exists and this copy made it
    bool linked = false; // as a hard link to the earlier copy
    qint64 sizeWhenOpened = 0;
    qint64 sizeCopied = 0;
    CopyFailureKind failedKind = CopyFailureKind::NotCopied;
    int errorNumber = 0;
};

struct WindowEntry {
    std::shared_ptr<const CopyFolder> folder;
    QByteArray path; // relative to the roots; the name starts at nameAt
    int nameAt = 0;
    bool isFolder = false;
    const ListedEntry* listed = nullptr;
    qint64 size = -1; // as listed; -1 when not known
    EntryOutcome outcome; // a folder comes done (or failed) from the walk

    const char* name() const { return path.constData() + nameAt; }
};

struct CopyCounts {
    qint64 listedFiles = 0;
    qint64 copiedFiles = 0;
    qint64 linkedFiles = 0;
    qint64 copiedBytes = 0;
    // The first file in walk order whose copy does not have the size its source had when it
    // was opened: it changed during the copy.
    QByteArray sizeMismatchPath;
    qint64 sizeWhenOpened = 0;
    qint64 sizeCopied = 0;
};

class CopyWindow {
public:
    // Entries from the walk, in walk order.
    void push(WindowEntry&& entry);
    std::size_t size() const { return m_entries.size(); }

    enum class Next { File, NoneYet, Stop };
    // The next file for a copy thread, marked running: NoneYet until the walk gives one, Stop
    // when none may start because an entry before it failed.
    Next take(qint64& sequence)
    {
        int count = 0;
        return take(sequence, count, 1, 0);
    }
    // The same with the files that follow it in the same folder, count in all, at most
    // maxFiles and, past the first, maxBytes together (a file of unknown size ends the run).
    Next take(qint64& sequence, int& count, int maxFiles, qint64 maxBytes);
    const WindowEntry& at(qint64 sequence) const { return m_entries[index(sequence)]; }
    // The outcome of a file taken; true when it is now the first failure in walk order.
    bool finish(qint64 sequence, const EntryOutcome& outcome);
    // True when an entry before sequence failed: the copy at sequence may be given up. Safe to
    // ask without the lock.
    bool isOvertaken(qint64 sequence) const { return m_firstFailure < sequence; }
    bool hasFailed() const { return m_firstFailure != noFailure; }

    // Once no copy runs. Whole: every file listed was copied or linked.
    bool isWhole() const;
    // The first failure in walk order or, with none, the first entry never done.
    CopyFailure failure() const;
    // Calls remove for each entry after failure() that the copy made, the last made first, so
    // that a folder is empty when its turn comes: the target ends as a one-by-one copy would
    // have left it.
    void rollBack(const std::function<void(const WindowEntry&)>& remove) const;

    const CopyCounts& counts() const { return m_counts; }
    // For a progress line, safe to read without the lock.
    qint64 doneFiles() const { return m_doneFiles; }
    qint64 doneBytes() const { return m_doneBytes; }

private:
    static constexpr qint64 noFailure = std::numeric_limits<qint64>::max();
    std::size_t index(qint64 sequence) const { return std::size_t(sequence - m_first); }
    std::size_t failureIndex() const;
    void retire();

    std::deque<WindowEntry> m_entries; // from m_first on; done ones at the front are let go
    qint64 m_first = 0;
    qint64 m_next = 0; // the next entry for a copy thread
    std::atomic<qint64> m_firstFailure{noFailure};
    CopyCounts m_counts;
    std::atomic<qint64> m_doneFiles{0};
    std::atomic<qint64> m_doneBytes{0};
};
