// Runs pg_dump and psql for one database and turns their failures into one error line.
#pragma once

#include <QString>
#include <QStringList>

// What a run does when a stop is requested (SIGINT, SIGTERM, SIGHUP) while it waits.
enum class OnStop {
    KillChild, // a backup's dump: the child is killed and reaped, no line, false
    Finish,    // a restore's load: the child runs to its end, as the component must
};

// Runs program (found on PATH) with "-w", "-f", sqlFile, extraArguments..., databaseUrl and
// waits for it while it makes progress (pg_dump's file grows, psql reads on in it, or its
// database session runs a statement): a child that makes none for 120 000 ms or
// $BW_VELLACOR_TOOL_TIMEOUT_MS is killed and reaped, with a warning that names the limit.
// True only when it started, ended with exit code 0 and wrote nothing to standard error but
// blank-free lines that mention "plpgsql". The child runs in a process group of its own, so
// a Ctrl-C reaches only the tool, and ends when the tool ends.
bool runDatabaseTool(const QString& program, const QString& databaseUrl, const QString& sqlFile,
                     const QStringList& extraArguments, OnStop onStop = OnStop::Finish);

// pg_dump -w -f sqlFile -x databaseUrl; stopped by a stop request.
bool dumpPostgresDatabase(const QString& databaseUrl, const QString& sqlFile);

// The version that "program --version" prints ("15.18" of "psql (PostgreSQL) 15.18 (Debian)"),
// or a null string after one error line ("Error: Could not start psql", or the run's failure).
QString toolVersion(const QString& program);
