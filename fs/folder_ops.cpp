// Folder walks over the media library and the backup folder: copy, size, clear, restore.
#include "fs/folder_ops.h"

#include "platform/brisken/trace.h"
#include "server/server_config.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The backup entries of folderPath. With the default filter a symbolic link to a file or a
// folder is listed too (under its own name), so the caller must test isSymLink() first.
QFileInfoList listBackupEntries(const QString& folderPath)
{
    if (folderPath.isEmpty())
        return {};
    return QDir(folderPath).entryInfoList(backupEntryNames(), QDir::NoFilter, QDir::NoSort);
}

// Moves the bytes from in to out at their current offsets. The kernel copies where it can
// (copy_file_range: no trip through this process, reflinks on file systems that have them);
// where it cannot, a plain read and write loop takes over from where it stopped.
bool copyBytes(int in, int out, qint64 size)
{
    qint64 copied = 0;
    for (;;) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, std::size_t(1) << 30, 0);
        if (n > 0) {
            copied += n;
            continue;
        }
        if (n == 0 && (copied > 0 || size == 0))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        // Some file systems report 0 bytes or refuse outright: fall back.
        if (n == 0 || errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)
            break;
        return false; // ENOSPC, EIO and the like
    }
    std::vector<char> buffer(std::size_t(1) << 20);
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t written = 0; written < n;) {
            const ssize_t w = ::write(out, buffer.data() + written, std::size_t(n - written));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            written += w;
        }
    }
}

// Copies the content and the permission bits of a regular file to a new target, as
// QFile::copy does, but without its small-block loop, which made large libraries take more
// than twice as long as cp. The target must not exist: nothing is overwritten. A failed copy
// removes the file it created, so no partial file stays behind.
bool copyRegularFile(const QString& sourceFile, const QString& targetFile)
{
    const QByteArray source = QFile::encodeName(sourceFile);
    const QByteArray target = QFile::encodeName(targetFile);
    // O_NONBLOCK and O_NOFOLLOW: an entry swapped for a FIFO or a link after the listing must
    // neither hang the copy nor be followed.
    const int in = ::open(source.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (in < 0)
        return false;
    struct stat status {};
    if (::fstat(in, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(in);
        return false;
    }
    const int out = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool copied = copyBytes(in, out, status.st_size) && ::fchmod(out, status.st_mode & 0777) == 0;
    copied = ::close(out) == 0 && copied; // a full disk may show only here (NFS)
    ::close(in);
    if (!copied)
        ::unlink(target.constData());
    return copied;
}

// Removes one listed entry: a file or a link by its name (a link is never followed, so
// nothing outside the folder goes through it), a folder with its whole tree.
bool removeEntry(QDir& folder, const QFileInfo& entry)
{
    if (entry.isSymLink() || entry.isFile()) {
        if (folder.remove(entry.fileName()))
            return true;
        Brisken::Trace::error("Failed to remove file %s", qUtf8Printable(entry.absoluteFilePath()));
        return false;
    }
    if (entry.isDir() && !QDir(entry.absoluteFilePath()).removeRecursively()) {
        Brisken::Trace::error("Failed to remove folder %s",
                              qUtf8Printable(entry.absoluteFilePath()));
        return false;
    }
    return true;
}

} // namespace

QFileInfoList listEntries(const QString& folderPath)
{
    // QDir("") is the current folder, which no caller means by an empty path.
    if (folderPath.isEmpty())
        return {};
    // NoSort keeps QDir's default order: by name, ignoring case.
    return QDir(folderPath).entryInfoList(entryFilter, QDir::NoSort);
}

const QStringList& backupEntryNames()
{
    static const QStringList names{
        QStringLiteral("assets"),
        QStringLiteral("db_dump.sql"),
        QStringLiteral("db_dump.db"),
        QStringLiteral("reporting_dump.sql"),
        QStringLiteral("reporting_dump.db"),
        QStringLiteral("bw-vellacor-backup-metadata.json"),
    };
    return names;
}

bool copyFolder(const QString& sourceFolder, const QString& destinationFolder)
{
    if (!QDir().mkpath(destinationFolder)) {
        Brisken::Trace::error("Failed to create folder %s", qUtf8Printable(destinationFolder));
        return false;
    }
    // Depth first with one listing per level: memory follows the depth of the tree, not its size.
    for (const QFileInfo& entry : listEntries(sourceFolder)) {
        const QString target = destinationFolder + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()) {
            if (!copyFolder(entry.absoluteFilePath(), target))
                return false;
        } else if (entry.isFile() && !copyRegularFile(entry.absoluteFilePath(), target)) {
            Brisken::Trace::error("Failed to copy file %s to %s",
                                  qUtf8Printable(entry.absoluteFilePath()), qUtf8Printable(target));
            return false;
        }
    }
    return true;
}

bool copyFolder(const QString& sourceFolder, const QString& destinationFolder,
                const CopyOptions& options, CopyResult& result)
{
    Q_UNUSED(options);
    result = CopyResult();
    return copyFolder(sourceFolder, destinationFolder);
}

qint64 folderSize(const QString& folderPath)
{
    qint64 bytes = 0;
    for (const QFileInfo& entry : listEntries(folderPath)) {
        if (entry.isDir())
            bytes += folderSize(entry.absoluteFilePath());
        else if (entry.isFile())
            bytes += entry.size();
    }
    return bytes;
}

bool containsBackupEntries(const QString& folderPath)
{
    return !listBackupEntries(folderPath).isEmpty();
}

bool removeBackupEntries(const QString& folderPath)
{
    QDir folder(folderPath);
    for (const QFileInfo& entry : listBackupEntries(folderPath))
        if (!removeEntry(folder, entry))
            return false;
    return true;
}

bool removeFolderTree(const QString& folderPath)
{
    return QDir(folderPath).removeRecursively();
}

bool restoreFolder(const ServerConfig& config, const QString& sourceFolder,
                   const QString& targetLocation)
{
    const QString target = resolvePath(config, targetLocation, true);

    // Only what listEntries() shows goes: hidden entries and links directly in the target stay.
    QDir targetFolder(target);
    for (const QFileInfo& entry : listEntries(target)) {
        if (!removeEntry(targetFolder, entry)) {
            Brisken::Trace::error("Failed to remove existing folder %s", qUtf8Printable(target));
            return false;
        }
    }

    if (!copyFolder(sourceFolder, target)) {
        Brisken::Trace::error("Failed to copy folder %s to %s", qUtf8Printable(sourceFolder),
                              qUtf8Printable(target));
        return false;
    }
    return true;
}
