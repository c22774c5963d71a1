// Checks made on a destination before data is copied there.
#include "fs/destination.h"

#include "fs/failure_lines.h"
#include "fs/folder_ops.h"
#include "platform/brisken/trace.h"
#include "report/size_text.h"
#include "server/server_config.h"
#include "sys/folder_io.h"

#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

#include <cerrno>

QString nearestExisting(QString path)
{
    while (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) {
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            return QString();
        path = parent;
    }
    return path;
}

bool checkDestination(const ServerConfig& config, const QString& sourcePath,
                      const QString& destinationLocation, MissingFolders missingFolders,
                      TreeListing* sourceListing)
{
    const QFileInfo source(sourcePath);
    if (!source.exists()) {
        Brisken::Trace::error("File %s does not exist.", qUtf8Printable(sourcePath));
        return false;
    }

    // The destination itself may not exist yet (the "assets" entry of a work folder): then its
    // parent is the folder that has to take the data.
    const QFileInfo destination(resolvePath(config, destinationLocation, true));
    const QString folder = destination.isDir() ? destination.absoluteFilePath()
                                               : destination.absolutePath();
    // Judged, a missing folder can be made when the nearest existing one above it is a
    // writable folder; room is then measured there.
    const QString existing = missingFolders == MissingFolders::Create ? folder
                                                                      : nearestExisting(folder);
    QByteArray failedPath;
    const bool canMake = missingFolders == MissingFolders::Create
                             ? Sys::makeFolders(QFile::encodeName(folder), failedPath)
                             : existing == folder
                                   || (QFileInfo(existing).isDir()
                                       && QFileInfo(existing).isWritable());
    if (!canMake) {
        // A judged check made no call that could fail: no reason line.
        if (missingFolders == MissingFolders::Create) {
            const int error = errno;
            traceReason(QFile::decodeName(failedPath), error);
        }
        Brisken::Trace::error("Failed to create folder %s", qUtf8Printable(folder));
        return false;
    }
    if (!QFileInfo(existing).isWritable()) {
        Brisken::Trace::error("User does not have permission to write to %s",
                              qUtf8Printable(folder));
        return false;
    }

    const qint64 required = source.isFile() ? source.size() : folderSize(sourcePath, sourceListing);
    const qint64 available = QStorageInfo(existing).bytesAvailable();
    if (required > available) {
        Brisken::Trace::error(
            "Not enough space available at %s. Need at least %s, but available space is %s.",
            qUtf8Printable(destinationLocation), qUtf8Printable(formatSize(required)),
            qUtf8Printable(formatSize(available)));
        return false;
    }
    return true;
}
