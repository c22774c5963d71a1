// Backup, compatibility check and restore of one database, an SQLite file or PostgreSQL.
#include "db/database.h"

// TODO(issue 5): implement.
QString backupDatabase(const ServerConfig&, const QString&, const QString&) { return QString(); }
bool checkDatabaseCompatibility(const ServerConfig&, const QString&, const QString&) { return false; }
bool restoreDatabase(const ServerConfig&, const QString&, const QString&) { return false; }
bool clearAndLoadPostgresDatabase(const QString&, const QString&) { return false; }
