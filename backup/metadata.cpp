// The backup folder's metadata file: written last by a backup, read first by a restore.
#include "backup/metadata.h"

#include "backup/components.h"
#include "backup/guards.h"
#include "db/database.h"
#include "fs/destination.h"
#include "fs/failure_lines.h"
#include "platform/brisken/trace.h"
#include "platform/vellacor/vellacor.h"
#include "server/server_config.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QVariantMap>

const QString metadataFileName = QStringLiteral("bw-vellacor-backup-metadata.json");

namespace {

// Most significant component first; the first difference decides.
bool isNewer(const Vellacor::Version& candidate, const Vellacor::Version& current)
{
    for (int i = 2; i >= 0; --i) {
        if (candidate.components[i] != current.components[i])
            return candidate.components[i] > current.components[i];
    }
    return false;
}

// A backup names its entries relative to its own folder. Anything else would make the restore
// read from (and, for an SQLite target, check) a place the administrator never pointed at.
bool isEntryInsideBackup(const QString& file)
{
    // A NUL cannot be part of a file name; Qt would warn about such a path on every use.
    if (file.isEmpty() || file.startsWith(QLatin1Char('/')) || file.contains(QChar(0)))
        return false;
    const QStringList parts = file.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    // Only "." parts name the backup folder itself, which holds the metadata, not an entry.
    const bool namesBackupFolder = parts.count(QStringLiteral(".")) == parts.size();
    return !namesBackupFolder && !parts.contains(QStringLiteral(".."));
}

// A backup entry is what it claims to be, and nothing on its way is a link: a restore run as
// root must never read a file outside the backup folder through a link placed in it.
bool checkEntryKind(const QString& workFolder, const QString& file, bool isFolder)
{
    QString path = workFolder;
    for (const QString& part : file.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += part;
        if (QFileInfo(path).isSymLink())
            return failBackupCheck(path, QStringLiteral("it is a symbolic link"));
        path += QLatin1Char('/');
    }
    const QFileInfo entry(workFolder + file);
    if (!entry.exists()) // the component's own check says so, in its words
        return true;
    if (isFolder && !entry.isDir())
        return failBackupCheck(entry.filePath(), QStringLiteral("it is not a folder"));
    if (!isFolder && !entry.isFile())
        return failBackupCheck(entry.filePath(), QStringLiteral("it is not a regular file"));
    return true;
}

bool checkComponent(ServerConfig& config, const BackupComponent& component, const QString& file,
                    MissingFolders missingFolders)
{
    const QString path = config.workFolder + file;
    const bool isMedia = component.isMediaLibrary();
    if (!checkEntryKind(config.workFolder, file, isMedia))
        return false;
    if (!isMedia)
        return checkDatabaseCompatibility(config, path, config.*component.location,
                                          missingFolders);
    return checkMediaLibrary(config)
           && checkDestination(config, path, config.assetRoot, missingFolders);
}

} // namespace

bool writeBackupMetadata(const ServerConfig& config, const QMap<QString, QString>& componentFiles)
{
    QJsonObject root;
    root.insert(QStringLiteral("version"), Vellacor::Vellacor::version());
    root.insert(QStringLiteral("backup-time"),
                QDateTime::currentDateTime().toString(Qt::TextDate));
    for (auto it = componentFiles.cbegin(); it != componentFiles.cend(); ++it)
        root.insert(it.key(), QJsonObject{{QStringLiteral("file"), it.value()}});

    const QString path = config.workFolder + metadataFileName;
    QFile file(path);
    // Private from the start, like the dumps it describes.
    if (!file.open(QIODevice::WriteOnly)
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        Brisken::Trace::error("Failed to open file %s for writing Vellacor backup metadata.",
                              qUtf8Printable(path));
        return false;
    }
    const QByteArray text = QJsonDocument(root).toJson(QJsonDocument::Compact);
    // The write is buffered: a full volume shows only when the bytes reach the disk.
    if (file.write(text) != text.size() || !file.flush()) {
        Brisken::Trace::error("Failed to write Vellacor backup metadata to file %s.",
                              qUtf8Printable(path));
        return false;
    }
    file.close();
    return true;
}

bool useBackupFolder(ServerConfig& config, const QString& backupPath)
{
    const QFileInfo backupInfo(backupPath);
    if (!backupInfo.exists()) {
        Brisken::Trace::error("Backup path %s does not exist.", qUtf8Printable(backupPath));
        return false;
    }
    if (!backupInfo.isReadable()) {
        Brisken::Trace::error("Backup path %s is not readable.", qUtf8Printable(backupPath));
        return false;
    }
    config.workFolder = backupPath + QLatin1Char('/');
    return true;
}

bool loadBackupData(ServerConfig& config, const QStringList& skip,
                    QMap<QString, QString>& restorePlan, MissingFolders missingFolders)
{
    const QString path = config.workFolder + metadataFileName;
    if (QFileInfo(path).isSymLink())
        return failBackupCheck(path, QStringLiteral("it is a symbolic link"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Brisken::Trace::error("Failed to open metadata file %s for reading", qUtf8Printable(path));
        return false;
    }
    QJsonParseError parseError;
    // Members are turned into variants one at a time, when looked up: converting the whole
    // document would cost gigabytes for a large hostile file. A root that is not an object
    // reads as an empty one.
    const QJsonObject root = QJsonDocument::fromJson(file.readAll(), &parseError).object();
    file.close();
    if (parseError.error != QJsonParseError::NoError) {
        Brisken::Trace::error("Error in reading JSON data from %s : %s", qUtf8Printable(path),
                              qUtf8Printable(parseError.errorString()));
        return false;
    }

    const QString backupVersion = root.value(QStringLiteral("version")).toVariant().toString();
    if (backupVersion.isEmpty()) {
        Brisken::Trace::error("Failed to parse backup version from metadata.");
        return false;
    }
    // Before the skip list: a newer backup is refused even when every component is skipped.
    const QString& currentVersion = Vellacor::Vellacor::version();
    if (isNewer(Vellacor::Version::fromString(backupVersion),
                Vellacor::Version::fromString(currentVersion))) {
        Brisken::Trace::error("Backup is from a newer version of Vellacor, found backup version "
                              "%s but current Vellacor version is %s",
                              qUtf8Printable(backupVersion), qUtf8Printable(currentVersion));
        return false;
    }

    for (const BackupComponent& component : backupComponents) {
        const QString key = QString::fromLatin1(component.key);
        if (skip.contains(key)) {
            Brisken::Trace::info("%s", component.restoreSkipLine);
            continue;
        }
        const QVariant member = root.value(key).toVariant();
        if (member.isNull()) {
            Brisken::Trace::info("%s", component.absentLine);
            continue;
        }
        const QString file = member.toMap().value(QStringLiteral("file")).toString();
        if (!isEntryInsideBackup(file)) {
            Brisken::Trace::error("Invalid entry %s for component %s in backup metadata.",
                                  qUtf8Printable(file), component.key);
            return false;
        }
        if (!checkComponent(config, component, file, missingFolders))
            return false;
        restorePlan.insert(key, config.workFolder + file);
    }
    return true;
}
