// Verification of one backup without restoring it: the restore's own checks, made without
// writing anything, then a full read of every entry.
#include "companion/commands.h"

#include "backup/components.h"
#include "backup/metadata.h"
#include "db/database.h"
#include "db/sqlite_file.h"
#include "db/tool_runner.h"
#include "fs/failure_lines.h"
#include "fs/folder_ops.h"
#include "platform/brisken/trace.h"
#include "platform/vellacor/vellacor.h"
#include "server/server_config.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDirIterator>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

namespace {

// Reads the file to its end; the system's reason when a read fails.
QString readWhole(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 got;
    while ((got = file.read(buffer.data(), buffer.size())) > 0) {
    }
    return got < 0 ? file.errorString() : QString();
}

// A copy keeps its source's modification time, which is never later than the metadata file
// written after it. So a later time means a change after the backup, and a file of the
// media library with the copy's time but another size means a copy that lost data.
int checkMediaFiles(const ServerConfig& config, const QString& mediaEntry, const QDateTime& madeAt)
{
    const QString library = resolvePath(config, config.assetRoot, true);
    int problems = 0;
    QDirIterator it(mediaEntry, entryFilter, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo copy = it.fileInfo();
        if (!copy.isFile())
            continue;
        const QString readError = readWhole(path);
        const QFileInfo source(library + path.mid(mediaEntry.size()));
        bool sound = true;
        if (!readError.isEmpty())
            sound = failBackupCheck(path, QStringLiteral("it cannot be read: ") + readError);
        else if (copy.lastModified() > madeAt)
            sound = failBackupCheck(path,
                                    QStringLiteral("it was changed after the backup was made"));
        else if (source.isFile() && !source.isSymLink()
                 && source.lastModified() == copy.lastModified() && source.size() != copy.size())
            sound = failBackupCheck(path, QStringLiteral("it holds %1 bytes, but the unchanged "
                                                         "file in the media library holds %2")
                                              .arg(copy.size())
                                              .arg(source.size()));
        problems += sound ? 0 : 1;
    }
    return problems;
}

// Loads the dump into a database of its own on the configured server, which is dropped again.
bool loadIntoScratchDatabase(const QString& dumpFile, const QString& location)
{
    const QString name =
        QStringLiteral("bw_vellacor_verify_%1").arg(QCoreApplication::applicationPid());
    QSqlDatabase server =
        Vellacor::DatabaseManager::connection(Vellacor::DB::rewriteServerUrl(location));
    QSqlQuery query(server);
    if (!server.isOpen() || !query.exec(QStringLiteral("CREATE DATABASE ") + name))
        return failBackupCheck(dumpFile,
                               QStringLiteral("no scratch database could be made on %1: %2")
                                   .arg(location, server.isOpen() ? query.lastError().text()
                                                                  : server.lastError().text()));
    QUrl scratch(location);
    scratch.setPath(QLatin1Char('/') + name);
    const bool loaded = runDatabaseTool(QStringLiteral("psql"), scratch.toString(), dumpFile,
                                        QStringList());
    if (!query.exec(QStringLiteral("DROP DATABASE ") + name + QStringLiteral(" WITH (FORCE)")))
        Brisken::Trace::error("Failed to drop the scratch database %s: %s", qUtf8Printable(name),
                              qUtf8Printable(query.lastError().text()));
    return loaded
           || failBackupCheck(dumpFile, QStringLiteral("psql could not load it into a scratch "
                                                     "database"));
}

} // namespace

bool verifyBackup(ServerConfig& config, const QString& backupPath, bool loadPostgres)
{
    if (!useBackupFolder(config, backupPath))
        return false;

    // The checks stop at the first component that cannot be restored; the entries that passed
    // before it are still read whole.
    QMap<QString, QString> plan;
    int problems = loadBackupData(config, QStringList(), plan, MissingFolders::Judge) ? 0 : 1;
    const QDateTime madeAt = QFileInfo(config.workFolder + metadataFileName).lastModified();
    for (auto it = plan.cbegin(); it != plan.cend(); ++it) {
        const QString& path = it.value();
        const BackupComponent& component = *findComponent(it.key());
        const QString location = config.*component.location;
        QString reason;
        if (component.isMediaLibrary())
            problems += checkMediaFiles(config, path, madeAt);
        else if (path.endsWith(QLatin1String(".db")) && !integrityCheckSqliteFile(path, reason))
            problems += failBackupCheck(path, reason) ? 0 : 1;
        else if (path.endsWith(QLatin1String(".sql")) && loadPostgres)
            problems += loadIntoScratchDatabase(path, location) ? 0 : 1;
    }
    if (problems > 0) {
        Brisken::Trace::error("Backup %s is not sound (problems found: %d)",
                              qUtf8Printable(backupPath), problems);
        return false;
    }
    Brisken::Trace::info("Backup %s is sound", qUtf8Printable(backupPath));
    return true;
}
