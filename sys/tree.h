// Raw calls for walking, copying and removing folder trees through folder descriptors.
//
// Names are the bytes the file system holds, relative to an open folder: no path is rebuilt
// per entry, nothing needs to be valid UTF-8, and no call follows a symbolic link in a name.
// Calls return false (or an invalid Descriptor) and leave the system's reason in errno.
#pragma once

#include <QtGlobal>

#include <ctime>
#include <functional>
#include <sys/types.h>

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

enum class EntryType { Folder, File, Link, Other };

// Calls found for every entry of folder but "." and "..", in the order the file system gives
// them. The type comes from the listing where the file system provides it (one stat otherwise).
bool readFolder(int folder, const std::function<void(const char* name, EntryType type)>& found);

struct FileStatus {
    EntryType type = EntryType::Other;
    mode_t permissions = 0; // 07777
    qint64 size = 0;
    timespec modified{};
};

// The status of name inside folder, not following a link.
bool statAt(int folder, const char* name, FileStatus& status);

// Creates the folder name inside folder (mode 0777 less the creation mask) and opens it; an
// existing folder (not a link to one) is opened instead, with created false.
bool makeFolderAt(int folder, const char* name, Descriptor& opened, bool& created);

// The process's file creation mask (umask), read once.
mode_t creationMask();

// Gives an open folder or file the owner and group (when setOwner) and then the permission
// bits: a change of owner clears the set-user and set-group bits.
bool setStatus(int descriptor, mode_t permissions, bool setOwner, uid_t owner, gid_t group);

// Removes the file, link or empty folder name inside folder.
bool removeAt(int folder, const char* name, bool isFolder);

// True when what this process creates in the open folder gets owner and group by itself.
bool createsOwnedBy(int folder, uid_t owner, gid_t group);

// Sets the permission bits of path (relative to folder, no link in it is expected).
bool setPermissionsAt(int folder, const char* path, mode_t permissions);

// Removes name inside folder with everything it holds: hidden entries, links as links and
// special files. Never follows a link and never leaves the folder; goes on past entries it
// cannot remove and then returns false.
bool removeTreeAt(int folder, const char* name);

// A new hard link toName inside toFolder to the file name inside fromFolder.
bool linkAt(int fromFolder, const char* name, int toFolder, const char* toName);

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

struct FileCopyOptions {
    bool setOwner = false; // give the copy owner and group (not needed when it gets them anyway)
    uid_t owner = 0;
    gid_t group = 0;
    // Asked between chunks of a large file: true ends the copy (the target is removed).
    std::function<bool()> cancelled;
};

enum class CopyOutcome { Copied, Failed, Cancelled };

struct FileCopyResult {
    qint64 sizeWhenOpened = 0; // the source's size when it was opened
    qint64 sizeCopied = 0;     // the size of the target made
};

// A buffer for the copies that the kernel cannot make by itself, one per thread; taken from
// memory only when first needed.
class CopyBuffer {
public:
    CopyBuffer() = default;
    ~CopyBuffer();
    CopyBuffer(const CopyBuffer&) = delete;
    CopyBuffer& operator=(const CopyBuffer&) = delete;
    char* data();
    static constexpr std::size_t size = std::size_t(1) << 20;

private:
    char* m_data = nullptr;
};

// Copies the regular file name inside sourceFolder to a new file name inside targetFolder:
// content (holes stay holes), permission bits and modification time. Nothing is overwritten
// (the target is created exclusively) and a failed or cancelled copy removes its target. The
// source is opened without following a link or blocking on a FIFO and must be a regular file.
CopyOutcome copyFileAt(int sourceFolder, int targetFolder, const char* name,
                       const FileCopyOptions& options, CopyBuffer& buffer, FileCopyResult& result);

} // namespace Sys
