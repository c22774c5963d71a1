// Puts a finished backup in place of the earlier one so that a crash at any instant leaves the
// backup folder with the complete earlier backup, no metadata file, or the complete new backup;
// and finishes or clears what an interrupted backup left behind.
#pragma once

#include "sys/files.h"

#include <QString>

// A folder as the administrator named it (for messages) and what it names, every link in it
// resolved once (for the work).
struct NamedFolder {
    QString shown;
    QString real;

    NamedFolder child(const QString& name) const;
};

// True for the folder names that a backup without --backup-path makes under the backup root.
bool isDefaultFolderName(const QString& name);

// The temporary folder of a backup, inside the backup folder. It is made under a name that no
// search for leftovers looks at, locked, and only then given its "vellacor-backup-tmp" name, so
// that no other run ever finds it unlocked. It goes, with everything in it and while still
// locked, when the object does, unless keep() was called.
class WorkFolder {
public:
    WorkFolder() = default;
    ~WorkFolder();
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    // False after "Failed to create a temporary folder for backup data in %s. %s".
    bool create(const NamedFolder& backupFolder);
    const NamedFolder& folder() const { return m_folder; }
    void keep() { m_kept = true; }

private:
    NamedFolder m_folder;
    Sys::FolderLock m_lock;
    bool m_kept = false;
};

// Moves the entries of the earlier backup (names of backupEntryNames(), any letter case; the
// metadata file first) aside into the work folder, then the new entries in (the metadata file
// last), and flushes the backup folder. The entries moved aside go with the work folder.
// When an earlier entry cannot be moved aside: "Failed to remove existing data in %s"; when a
// new one cannot be moved in: "Failed to move %s to %s" and "Failed to move temporary backup
// data from %s to %s". Either way, after the reason line, everything is moved back as it was;
// where even that fails, the work folder is kept for the next backup to finish.
bool publishBackup(WorkFolder& work, const NamedFolder& backupFolder);

// Deals with the temporary folders of interrupted backups in backupFolder, those whose lock can
// be taken: one holding a complete new backup while the backup folder holds no metadata file is
// moved into place ("Completed the backup left unfinished in %s"), every other one is removed
// ("Removed temporary folder %s left by an interrupted backup"). With removeWhenEmptied, a
// backup folder that held nothing else goes too. False after the failure's lines.
bool finishInterruptedBackups(const NamedFolder& backupFolder, bool removeWhenEmptied = false);
