// Runs pg_dump and psql for one database and turns their failures into one error line.
#pragma once

#include <QString>
#include <QStringList>

// Runs program (found on PATH) with "-w", "-f", sqlFile, extraArguments..., databaseUrl and
// waits for it, at most 120 000 ms or $BW_VELLACOR_TOOL_TIMEOUT_MS. True only when it
// started, ended in time with exit code 0 and wrote nothing to standard error but blank-free
// lines that mention "plpgsql". A child still running at the limit is killed and reaped.
bool runDatabaseTool(const QString& program, const QString& databaseUrl, const QString& sqlFile,
                     const QStringList& extraArguments);

// pg_dump -w -f sqlFile -x databaseUrl.
bool dumpPostgresDatabase(const QString& databaseUrl, const QString& sqlFile);
