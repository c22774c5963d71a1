// Reads what a restore needs to know of a pg_dump plain SQL file: whether it is complete,
// whether the installed psql can load it, and which objects it will create.
//
// Dumps can be gigabytes: the checks read only the head and the tail, and the object list
// reads the table of contents up to the first table's data.
#pragma once

#include <QList>
#include <QString>

// One entry of the dump's table of contents, as its "-- Name: ...; Type: ...; Schema: ..."
// comment line gives it: names raw (unquoted), a function's name with its argument types.
struct DumpObject {
    QString type; // "TABLE", "FUNCTION", "MATERIALIZED VIEW", ...
    QString schema; // "-" for a schema itself
    QString name;
};

// True when the dump ends with pg_dump's completion line; otherwise false with the reason.
bool checkDumpComplete(const QString& dumpFile, QString& reason);

// True when psql of version psqlVersion ("15.14") can load the dump: it was made by a pg_dump
// of the same or an older major version, and any \restrict command in it is one psql knows.
bool checkDumpLoadable(const QString& dumpFile, const QString& psqlVersion, QString& reason);

// The entries of the dump's table of contents before its data (tables, views, sequences,
// routines, types and schemas all come before it), in the dump's order; false with the reason
// when it cannot be read.
bool readDumpObjects(const QString& dumpFile, QList<DumpObject>& objects, QString& reason);
