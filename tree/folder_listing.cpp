// The listing of one folder that every folder walk uses: what a walk sees, and in which order.
#include "tree/folder_listing.h"

#include <QFile>

#include <algorithm>

namespace {

// The sort key of a name: decoded and lower-cased as QDir does it, appended to keys.
void appendKey(const char* name, std::u16string& keys)
{
    const char* c = name;
    for (; *c; ++c)
        if (static_cast<unsigned char>(*c) >= 0x80)
            break;
    if (!*c) { // plain ASCII, by far the most common: no decoding needed
        for (c = name; *c; ++c)
            keys.push_back(char16_t(*c >= 'A' && *c <= 'Z' ? *c + ('a' - 'A') : *c));
        return;
    }
    const QString key =
        QFile::decodeName(QByteArray::fromRawData(name, int(qstrlen(name)))).toLower();
    keys.append(reinterpret_cast<const char16_t*>(key.utf16()), std::size_t(key.size()));
}

} // namespace

bool FolderListing::read(int folder, Order order)
{
    m_names.clear();
    m_entries.clear();
    m_leftOut = 0;
    m_firstLeftOut.clear();
    const bool listed = Sys::readFolder(folder, [this](const char* name, Sys::EntryType type) {
        if (!isListed(name, type)) {
            // The first by its bytes, so that it does not depend on the file system's order.
            if (m_leftOut++ == 0 || qstrcmp(name, m_firstLeftOut.constData()) < 0)
                m_firstLeftOut = name;
            return;
        }
        m_entries.push_back({m_names.size(), type == Sys::EntryType::Folder});
        m_names.append(name);
        m_names.push_back('\0');
    });
    if (!listed) {
        m_names.clear();
        m_entries.clear();
        m_leftOut = 0;
        m_firstLeftOut.clear();
        return false;
    }
    if (order == Order::ByName && m_entries.size() > 1) {
        std::u16string keys;
        std::vector<std::pair<std::size_t, std::size_t>> keyAt; // start, length per entry
        keyAt.reserve(m_entries.size());
        for (const Entry& entry : m_entries) {
            const std::size_t start = keys.size();
            appendKey(m_names.data() + entry.nameAt, keys);
            keyAt.emplace_back(start, keys.size() - start);
        }
        std::vector<std::size_t> sorted(m_entries.size());
        for (std::size_t i = 0; i < sorted.size(); ++i)
            sorted[i] = i;
        std::stable_sort(sorted.begin(), sorted.end(), [&](std::size_t a, std::size_t b) {
            return keys.compare(keyAt[a].first, keyAt[a].second, keys, keyAt[b].first,
                                keyAt[b].second)
                   < 0;
        });
        std::vector<Entry> entries;
        entries.reserve(m_entries.size());
        for (const std::size_t i : sorted)
            entries.push_back(m_entries[i]);
        m_entries.swap(entries);
    }
    return true;
}

