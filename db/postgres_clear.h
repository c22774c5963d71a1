// Empties a PostgreSQL database so that a dump can be loaded into it.
#pragma once

#include "db/postgres_dump.h"

#include <QList>
#include <QString>

class QSqlDatabase;

// In one transaction: drops every table that the driver lists with the one statement
// "DROP TABLE t1,t2 CASCADE;" (names quoted only where PostgreSQL needs it), then those objects
// of the dump's table of contents that still exist: tables the driver does not list,
// sequences no column owns, views, materialized views, functions, procedures, aggregates,
// types, domains, schemas other than public and large objects, in the reverse of the dump's order and
// without CASCADE. Nothing else is dropped. On failure everything is rolled back and error
// holds the server's text.
bool clearPostgresDatabase(QSqlDatabase& db, const QList<DumpObject>& objects, QString& error);
