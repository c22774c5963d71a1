// The three things a backup holds, each once: its key, where it lives and the lines that say
// it is skipped or absent.
#pragma once

#include <QString>

class ServerConfig;

struct BackupComponent {
    const char* key; // in the skip lists, the metadata file and the component maps
    QString ServerConfig::*location;
    const char* backupSkipLine;
    const char* restoreSkipLine;
    const char* absentLine; // a restore from a backup without it
    bool isMediaLibrary() const;
};

// In the order every procedure processes them: "db", "reporting", "assets".
extern const BackupComponent backupComponents[3];

// The component of that key (compared whole and case-sensitively), or null.
const BackupComponent* findComponent(const QString& key);
