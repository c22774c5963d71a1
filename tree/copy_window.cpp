// The bookkeeping of a parallel tree copy, without its threads and its I/O.
#include "tree/copy_window.h"

#include <algorithm>

void CopyWindow::push(WindowEntry&& entry)
{
    const qint64 sequence = m_first + qint64(m_entries.size());
    const bool isFolder = entry.isFolder;
    if (!isFolder)
        ++m_counts.listedFiles;
    if (entry.outcome.state == EntryState::Failed && sequence < m_firstFailure)
        m_firstFailure = sequence;
    m_entries.push_back(std::move(entry));
    if (isFolder)
        retire(); // done at once: it may be the oldest entry
}

CopyWindow::Next CopyWindow::take(qint64& sequence, int& count, int maxFiles, qint64 maxBytes)
{
    const qint64 end = m_first + qint64(m_entries.size());
    m_next = std::max(m_next, m_first);
    while (m_next < end && m_entries[index(m_next)].isFolder)
        ++m_next;
    // Nothing after a known failure is started.
    if (m_next >= m_firstFailure)
        return Next::Stop;
    if (m_next == end)
        return Next::NoneYet;
    sequence = m_next;
    count = 0;
    const CopyFolder* folder = m_entries[index(sequence)].folder.get();
    qint64 bytes = 0;
    while (m_next < end && m_next < m_firstFailure && count < maxFiles) {
        WindowEntry& entry = m_entries[index(m_next)];
        if (count > 0
            && (entry.isFolder || entry.folder.get() != folder || entry.size < 0
                || bytes + entry.size > maxBytes))
            break;
        bytes += std::max<qint64>(entry.size, 0);
        entry.outcome.state = EntryState::Running;
        ++m_next;
        ++count;
    }
    return Next::File;
}

bool CopyWindow::finish(qint64 sequence, const EntryOutcome& outcome)
{
    m_entries[index(sequence)].outcome = outcome;
    const bool isFirstFailure = outcome.state == EntryState::Failed && sequence < m_firstFailure;
    if (isFirstFailure)
        m_firstFailure = sequence;
    retire();
    return isFirstFailure;
}

// Counts and lets go of the entries at the front that are done; a failed one stays.
void CopyWindow::retire()
{
    while (!m_entries.empty() && m_entries.front().outcome.state == EntryState::Done) {
        const WindowEntry& entry = m_entries.front();
        const EntryOutcome& outcome = entry.outcome;
        if (!entry.isFolder) {
            ++(outcome.linked ? m_counts.linkedFiles : m_counts.copiedFiles);
            if (!outcome.linked)
                m_counts.copiedBytes += outcome.sizeCopied;
            ++m_doneFiles;
            m_doneBytes += outcome.sizeCopied;
            if (outcome.sizeCopied != outcome.sizeWhenOpened
                && m_counts.sizeMismatchPath.isEmpty()) {
                m_counts.sizeMismatchPath = entry.path;
                m_counts.sizeWhenOpened = outcome.sizeWhenOpened;
                m_counts.sizeCopied = outcome.sizeCopied;
            }
        }
        m_entries.pop_front();
        ++m_first;
    }
}

bool CopyWindow::isWhole() const
{
    return m_counts.copiedFiles + m_counts.linkedFiles == m_counts.listedFiles;
}

std::size_t CopyWindow::failureIndex() const
{
    if (hasFailed())
        return index(m_firstFailure);
    const auto notDone = std::find_if(m_entries.begin(), m_entries.end(), [](const WindowEntry& e) {
        return e.outcome.state != EntryState::Done;
    });
    return std::size_t(notDone - m_entries.begin());
}

CopyFailure CopyWindow::failure() const
{
    CopyFailure failure;
    const std::size_t failed = failureIndex();
    if (failed == m_entries.size())
        return failure;
    const WindowEntry& entry = m_entries[failed];
    failure.path = entry.path;
    failure.isFolder = entry.isFolder;
    if (entry.outcome.state == EntryState::Failed) {
        failure.kind = entry.outcome.failedKind;
        failure.errorNumber = entry.outcome.errorNumber;
    }
    return failure;
}

void CopyWindow::rollBack(const std::function<void(const WindowEntry&)>& remove) const
{
    const std::size_t failed = failureIndex();
    for (std::size_t i = m_entries.size(); i > failed + 1; --i)
        if (m_entries[i - 1].outcome.made)
            remove(m_entries[i - 1]);
}
