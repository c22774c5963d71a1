// The three things a backup holds.
#include "backup/components.h"

#include "server/server_config.h"

#include <cstring>

const BackupComponent backupComponents[3] = {
    {"db", &ServerConfig::databaseLocation, "Skipping main database in backup.",
     "Skipping main database in restore.", "Backup doesn't contain main database."},
    {"reporting", &ServerConfig::reportingDatabaseLocation,
     "Skipping reporting database in backup.", "Skipping reporting database in restore.",
     "Backup doesn't contain reporting database."},
    {"assets", &ServerConfig::assetRoot, "Skipping media library in backup.",
     "Skipping media library in restore.", "Backup doesn't contain media library."},
};

bool BackupComponent::isMediaLibrary() const
{
    return std::strcmp(key, "assets") == 0;
}

const BackupComponent* findComponent(const QString& key)
{
    for (const BackupComponent& component : backupComponents)
        if (key == QLatin1String(component.key))
            return &component;
    return nullptr;
}
