// Open file and folder descriptors that close themselves, and the open-file limit a deep walk
// needs.
//
// Calls return an invalid Descriptor and leave the system's reason in errno.
#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace Sys {

// An open file or folder descriptor, closed when the object goes.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int descriptor) : m_descriptor(descriptor) {}
    ~Descriptor();
    Descriptor(Descriptor&& other) noexcept : m_descriptor(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return m_descriptor; }
    bool isOpen() const { return m_descriptor >= 0; }
    int release();

private:
    int m_descriptor = -1;
};

// Opens the folder at path; a link as the last component is followed (the caller named it).
Descriptor openFolder(const QByteArray& path);
// Opens the folder name inside folder, never through a link.
Descriptor openFolderAt(int folder, const char* name);

// Raises the soft limit of open descriptors to the hard one while it lives: a walk keeps a
// few descriptors open per level of the tree, so a deep tree needs many. Objects of this kind
// may nest; each puts back what it found.
class OpenFileLimit {
public:
    OpenFileLimit();
    ~OpenFileLimit();
    OpenFileLimit(const OpenFileLimit&) = delete;
    OpenFileLimit& operator=(const OpenFileLimit&) = delete;

private:
    bool m_raised = false;
    quint64 m_saved = 0;
};

} // namespace Sys
