// The listing of one folder that every folder walk uses: what a walk sees, and in which order.
//
// Sub-folders and regular files only: never symbolic links (to files or folders), hidden
// entries (names beginning with a dot) or special files. Names are the file system's bytes,
// so names that are not valid UTF-8 are listed too; they are decoded only to be sorted and
// shown. The order is QDir's default: by name without regard to case (the names decoded and
// lower-cased, compared by UTF-16 code unit), names that compare equal in the order the file
// system gave them.
#pragma once

#include "sys/folder_io.h"

#include <QByteArray>

#include <string>
#include <vector>

// Whether a listing shows an entry: a folder or a regular file whose name has no leading dot.
inline bool isListed(const char* name, Sys::EntryType type)
{
    return name[0] != '.' && (type == Sys::EntryType::Folder || type == Sys::EntryType::File);
}

class FolderListing {
public:
    enum class Order { AsRead, ByName };

    // Reads the open folder; false (and nothing listed) when it cannot be read.
    bool read(int folder, Order order);

    int size() const { return int(m_entries.size()); }
    const char* name(int index) const { return m_names.data() + m_entries[index].nameAt; }
    bool isFolder(int index) const { return m_entries[index].isFolder; }

    // The entries that the listing leaves out, and the first of their names in byte order.
    int leftOut() const { return m_leftOut; }
    const QByteArray& firstLeftOut() const { return m_firstLeftOut; }

private:
    struct Entry {
        std::size_t nameAt;
        bool isFolder;
    };
    // The names one after another, each ending in a NUL: one allocation however many entries.
    std::string m_names;
    std::vector<Entry> m_entries;
    int m_leftOut = 0;
    QByteArray m_firstLeftOut;
};
