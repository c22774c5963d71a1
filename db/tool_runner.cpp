// Runs pg_dump and psql for one database and turns their failures into one error line.
#include "db/tool_runner.h"

// TODO(issue 5): implement.
bool runDatabaseTool(const QString&, const QString&, const QString&, const QStringList&) { return false; }
bool dumpPostgresDatabase(const QString&, const QString&) { return false; }
