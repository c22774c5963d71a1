// Puts a finished backup in place of the earlier one so that a crash at any instant leaves one
// complete backup or none, and finishes or clears what an interrupted backup left behind.
#include "backup/replace_step.h"

#include "backup/metadata.h"
#include "fs/folder_ops.h"
#include "platform/brisken/trace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>

namespace {

const QString temporaryFolderPrefix = QStringLiteral("vellacor-backup-tmp");
// Where a temporary folder is made and locked before it gets its name.
const QString unlockedFolderPrefix = QStringLiteral(".vellacor-backup-new");
// Inside the temporary folder, hidden from the listing of its entries: the earlier backup's
// entries while they are being moved aside, and, renamed, once every one of them is. A run that
// finishes an interrupted replace knows from the name whether the backup folder may still hold
// earlier entries or already holds new ones only.
const QString movingAsideName = QStringLiteral(".earlier-backup-moving");
const QString movedAsideName = QStringLiteral(".earlier-backup");

bool isMetadataName(const QString& name)
{
    return name.compare(metadataFileName, Qt::CaseInsensitive) == 0;
}

QStringList ordered(QStringList names, bool metadataFirst)
{
    std::stable_partition(names.begin(), names.end(), [metadataFirst](const QString& name) {
        return isMetadataName(name) == metadataFirst;
    });
    return names;
}

QStringList namesOf(const QFileInfoList& entries)
{
    QStringList names;
    for (const QFileInfo& entry : entries)
        names << entry.fileName();
    return names;
}

// The earlier backup's entries, in any letter case, the metadata file first: once it is gone,
// nothing takes what is left for a complete backup.
QStringList earlierEntries(const QString& backupFolder)
{
    return ordered(namesOf(listBackupEntries(backupFolder)), true);
}

// The new entries in the work folder, the metadata file last: a backup folder whose moves
// broke off holds no metadata, so nothing takes it for a complete backup.
QStringList newEntries(const QString& workFolder)
{
    return ordered(namesOf(listEntries(workFolder)), false);
}

// Whatever was moved aside, to be put back: the metadata file last.
QStringList entriesAside(const QString& folder)
{
    return ordered(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                          | QDir::NoDotAndDotDot),
                   false);
}

bool holdsMetadataFile(const QString& backupFolder)
{
    const QStringList entries = earlierEntries(backupFolder);
    return !entries.isEmpty() && isMetadataName(entries.first());
}

// A new backup that was finished: its metadata file, written last, is there and whole.
bool holdsCompleteBackup(const QString& workFolder)
{
    const QFileInfo info(workFolder + QLatin1Char('/') + metadataFileName);
    QFile metadata(info.filePath());
    return info.isFile() && !info.isSymLink() && metadata.open(QIODevice::ReadOnly)
           && QJsonDocument::fromJson(metadata.readAll()).isObject();
}

void reportReason(const QString& path)
{
    Brisken::Trace::error("%s: %s", qUtf8Printable(path), qUtf8Printable(Sys::errorText(errno)));
}

// Renames each entry from one folder to the other, never replacing anything, and lists in moved
// what went. At the first failure, false with failed naming the entry and errno the reason.
bool moveEach(const QStringList& names, const NamedFolder& from, const NamedFolder& to,
              QStringList& moved, QString& failed)
{
    for (const QString& name : names) {
        if (!Sys::renameNoReplace(from.real + QLatin1Char('/') + name,
                                  to.real + QLatin1Char('/') + name)) {
            failed = name;
            return false;
        }
        moved << name;
    }
    return true;
}

// The reason line of a failed move names what was in the way, or else what was to be moved.
void reportFailedMove(const NamedFolder& from, const NamedFolder& to, const QString& name)
{
    reportReason((errno == EEXIST || errno == ENOTEMPTY ? to : from).child(name).shown);
}

bool reportFailedMoveIn(const NamedFolder& work, const NamedFolder& backup, const QString& name)
{
    Brisken::Trace::error("Failed to move %s to %s", qUtf8Printable(work.child(name).shown),
                          qUtf8Printable(backup.child(name).shown));
    Brisken::Trace::error("Failed to move temporary backup data from %s to %s",
                          qUtf8Printable(work.shown + QLatin1Char('/')),
                          qUtf8Printable(backup.shown));
    return false;
}

// An entry that moving the earlier backup aside leaves in place (a dangling link, a special
// file) would stop the moves halfway; it is found before the earlier backup is touched.
bool checkNothingInTheWay(const NamedFolder& work, const NamedFolder& backup)
{
    for (const QString& name : newEntries(work.real)) {
        const QFileInfo existing(backup.real + QLatin1Char('/') + name);
        const bool inTheWay = existing.isSymLink()
                                  ? !existing.exists()
                                  : existing.exists() && !existing.isFile() && !existing.isDir();
        if (inTheWay)
            return reportFailedMoveIn(work, backup, name);
    }
    return true;
}

// Moves the earlier entries aside (unless an interrupted run got as far as having moved all of
// them) and then the new entries in. movedIn lists the new entries that went.
bool replaceEntries(const NamedFolder& work, const NamedFolder& backup, QStringList& movedIn)
{
    const NamedFolder moving = work.child(movingAsideName);
    const NamedFolder movedAside = work.child(movedAsideName);
    QString failed;
    if (!QFileInfo::exists(movedAside.real)) {
        QStringList moved;
        bool allAside = false;
        if (!QFileInfo::exists(moving.real) && !Sys::makeFolder(moving.real))
            reportReason(moving.shown);
        else if (!moveEach(earlierEntries(backup.real), backup, moving, moved, failed))
            reportFailedMove(backup, moving, failed);
        else if (!Sys::renameNoReplace(moving.real, movedAside.real))
            reportReason(moving.shown);
        else
            allAside = true;
        if (!allAside) {
            Brisken::Trace::error("Failed to remove existing data in %s",
                                  qUtf8Printable(backup.shown));
            return false;
        }
    }
    if (moveEach(newEntries(work.real), work, backup, movedIn, failed))
        return true;
    reportFailedMove(work, backup, failed);
    return reportFailedMoveIn(work, backup, failed);
}

// Undoes a replace that broke off: the new entries that went in go back to the work folder,
// then the earlier ones back into the backup folder, the metadata file last.
bool moveBack(const NamedFolder& work, const NamedFolder& backup, const QStringList& movedIn)
{
    const NamedFolder moving = work.child(movingAsideName);
    const NamedFolder movedAside = work.child(movedAsideName);
    QStringList moved;
    QString failed;
    // Named as not wholly aside first: a crash while they go back must make the next run move
    // them aside again before it moves anything in.
    return moveEach(QStringList(movedIn.crbegin(), movedIn.crend()), backup, work, moved, failed)
           && (!QFileInfo::exists(movedAside.real)
               || Sys::renameNoReplace(movedAside.real, moving.real))
           && (!QFileInfo::exists(moving.real)
               || moveEach(entriesAside(moving.real), moving, backup, moved, failed));
}

} // namespace

NamedFolder NamedFolder::child(const QString& name) const
{
    return {shown + QLatin1Char('/') + name, real + QLatin1Char('/') + name};
}

bool isDefaultFolderName(const QString& name)
{
    static const QRegularExpression pattern(
        QStringLiteral("^\\d+_\\d{4}_\\d\\d_\\d\\d_.*_vellacor-backup$"));
    return pattern.match(name).hasMatch();
}

WorkFolder::~WorkFolder()
{
    // Removed while still locked, so that no other backup takes it for a leftover meanwhile.
    if (!m_folder.real.isEmpty() && !m_kept)
        removeFolderTree(m_folder.real);
}

bool WorkFolder::create(const NamedFolder& backupFolder)
{
    const auto fail = [&backupFolder](const QString& reason) {
        Brisken::Trace::error("Failed to create a temporary folder for backup data in %s. %s",
                              qUtf8Printable(backupFolder.shown), qUtf8Printable(reason));
        return false;
    };
    // Owner-only, and removed again unless it gets its name.
    QTemporaryDir unlocked(backupFolder.real + QLatin1Char('/') + unlockedFolderPrefix);
    if (!unlocked.isValid())
        return fail(unlocked.errorString());
    if (!m_lock.tryLock(unlocked.path()))
        return fail(Sys::errorText(errno));
    const QString suffix = QFileInfo(unlocked.path()).fileName().mid(unlockedFolderPrefix.size());
    const NamedFolder named = backupFolder.child(temporaryFolderPrefix + suffix);
    if (!Sys::renameNoReplace(unlocked.path(), named.real))
        return fail(Sys::errorText(errno));
    unlocked.setAutoRemove(false);
    m_folder = named;
    return true;
}

bool publishBackup(WorkFolder& work, const NamedFolder& backupFolder)
{
    const NamedFolder& folder = work.folder();
    // The new entries are on the disk before the first of them is part of the backup folder.
    if (!checkNothingInTheWay(folder, backupFolder)
        || !flushToDisk(folder.real, FlushScope::Tree, folder.shown))
        return false;
    QStringList movedIn;
    if (replaceEntries(folder, backupFolder, movedIn))
        return flushToDisk(backupFolder.real, FlushScope::Entry, backupFolder.shown);
    if (!moveBack(folder, backupFolder, movedIn)) {
        work.keep();
        Brisken::Trace::warning("Kept %s: it holds entries of the earlier backup that could not be "
                                "moved back, and the next backup completes the replace",
                                qUtf8Printable(folder.shown));
    }
    return false;
}

bool finishInterruptedBackups(const NamedFolder& backupFolder, bool removeWhenEmptied)
{
    const QStringList leftovers = QDir(backupFolder.real)
                                      .entryList({temporaryFolderPrefix + QLatin1Char('*'),
                                                  unlockedFolderPrefix + QLatin1Char('*')},
                                                 QDir::Dirs | QDir::NoSymLinks | QDir::Hidden
                                                     | QDir::NoDotAndDotDot | QDir::CaseSensitive,
                                                 QDir::Name);
    for (const QString& name : leftovers) {
        const NamedFolder work = backupFolder.child(name);
        Sys::FolderLock lock;
        if (!lock.tryLock(work.real))
            continue; // a running backup's
        QStringList movedIn;
        const bool unfinished =
            holdsCompleteBackup(work.real) && !holdsMetadataFile(backupFolder.real);
        if (unfinished) {
            if (!flushToDisk(work.real, FlushScope::Tree, work.shown)
                || !replaceEntries(work, backupFolder, movedIn)
                || !flushToDisk(backupFolder.real, FlushScope::Entry, backupFolder.shown))
                return false;
            Brisken::Trace::info("Completed the backup left unfinished in %s",
                                 qUtf8Printable(backupFolder.shown));
        }
        if (!removeFolderTree(work.real)) {
            Brisken::Trace::error("Failed to remove folder %s", qUtf8Printable(work.shown));
            return false;
        }
        if (!unfinished)
            Brisken::Trace::info("Removed temporary folder %s left by an interrupted backup",
                                 qUtf8Printable(work.shown));
    }
    // Only an empty folder goes.
    if (removeWhenEmptied && !leftovers.isEmpty())
        QDir().rmdir(backupFolder.real);
    return true;
}
