// The backups that bw-vellacor-ctl made under a backup root, as the companion's commands see
// them.
#include "companion/backup_scan.h"

#include "backup/components.h"
#include "backup/metadata.h"
#include "platform/brisken/trace.h"
#include "server/server_config.h"
#include "sys/files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>

namespace {

const QString temporaryFolderPrefix = QStringLiteral("vellacor-backup-tmp");

// A large hostile file is not read: the real metadata file is a few hundred bytes.
const qint64 metadataReadLimit = 1 << 20;

void readMetadata(BackupEntry& backup)
{
    QFile file(backup.path + QLatin1Char('/') + metadataFileName);
    if (QFileInfo(file.fileName()).isSymLink() || !file.open(QIODevice::ReadOnly))
        return;
    const QJsonObject root = QJsonDocument::fromJson(file.read(metadataReadLimit)).object();
    backup.version = root.value(QStringLiteral("version")).toString();
    for (const BackupComponent& component : backupComponents) {
        if (root.value(QLatin1String(component.key)).isObject())
            backup.components << QString::fromLatin1(component.key);
    }
}

// The temporary folders (and anything else of that name) inside a backup folder; a running
// backup holds the lock of its own.
void readTemporaryFolders(BackupEntry& backup)
{
    const QFileInfoList entries = QDir(backup.path).entryInfoList(
        {temporaryFolderPrefix + QLatin1Char('*')},
        QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot | QDir::CaseSensitive);
    const QFileInfo metadata(backup.path + QLatin1Char('/') + metadataFileName);
    backup.complete = entries.isEmpty() && metadata.isFile() && !metadata.isSymLink();
    for (const QFileInfo& entry : entries) {
        Sys::FolderLock lock;
        if (entry.isDir() && !entry.isSymLink() && !lock.tryLock(entry.absoluteFilePath())
            && errno == EWOULDBLOCK)
            backup.inProgress = true;
    }
}

// Oldest first: <ms> compared as a number of any length, then the whole name.
bool isOlder(const BackupEntry& a, const BackupEntry& b)
{
    const QString msA = a.name.section(QLatin1Char('_'), 0, 0);
    const QString msB = b.name.section(QLatin1Char('_'), 0, 0);
    const auto digits = [](const QString& ms) {
        int start = 0;
        while (start < ms.size() - 1 && ms.at(start) == QLatin1Char('0'))
            ++start;
        return ms.mid(start);
    };
    const QString numberA = digits(msA);
    const QString numberB = digits(msB);
    if (numberA.size() != numberB.size())
        return numberA.size() < numberB.size();
    if (numberA != numberB)
        return numberA < numberB;
    return a.name < b.name;
}

} // namespace

QString findBackupRoot(ServerConfig& config, const QString& root, const QString& serverConfigPath)
{
    QString folder = root;
    if (folder.isEmpty()) {
        if (!config.readServerConfiguration(serverConfigPath))
            return QString();
        if (config.backupRoot.isEmpty()) {
            Brisken::Trace::error("No backup_root is configured in %s; give --backup-root",
                                  qUtf8Printable(config.configurationFile));
            return QString();
        }
        folder = resolvePath(config, config.backupRoot, true);
    }
    folder = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    if (!QFileInfo(folder).isDir()) {
        Brisken::Trace::error("Backup root %s is not a folder", qUtf8Printable(folder));
        return QString();
    }
    return folder;
}

QList<BackupEntry> findBackups(const QString& root)
{
    // <milliseconds since 1970>_<yyyy_MM_dd>_<version>_vellacor-backup
    static const QRegularExpression defaultName(
        QStringLiteral("^([0-9]+)_[0-9]{4}_[0-9]{2}_[0-9]{2}_[^/\\s]+_vellacor-backup$"));
    QList<BackupEntry> backups;
    const QFileInfoList folders =
        QDir(root).entryInfoList(QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    for (const QFileInfo& folder : folders) {
        const QRegularExpressionMatch match = defaultName.match(folder.fileName());
        if (!match.hasMatch())
            continue;
        BackupEntry backup;
        backup.path = folder.absoluteFilePath();
        backup.name = folder.fileName();
        backup.timeMs = match.captured(1).toLongLong();
        readTemporaryFolders(backup);
        readMetadata(backup);
        backups << backup;
    }
    std::sort(backups.begin(), backups.end(), isOlder);
    return backups;
}

BackupEntry newestComplete(const QList<BackupEntry>& backups)
{
    for (auto it = backups.crbegin(); it != backups.crend(); ++it) {
        if (it->complete)
            return *it;
    }
    return BackupEntry();
}
