// Empties a PostgreSQL database so that a dump can be loaded into it.
#include "db/postgres_clear.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

// The driver names a table "name" in public and "schema.name" elsewhere, unquoted. Each name
// is written back as quote_ident writes identifiers, so that a mixed-case "UserEvents" is
// found while a,b,c stays a,b,c.
QStringList quotedTableNames(QSqlDatabase& db, const QStringList& tables)
{
    QHash<QString, QString> quoted;
    QSqlQuery query(db);
    if (query.exec(QStringLiteral(
            "SELECT CASE WHEN n.nspname = 'public' THEN c.relname"
            "            ELSE n.nspname || '.' || c.relname END,"
            "       CASE WHEN n.nspname = 'public' THEN quote_ident(c.relname)"
            "            ELSE quote_ident(n.nspname) || '.' || quote_ident(c.relname) END"
            " FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace"
            " WHERE c.relkind = 'r'"))) {
        while (query.next())
            quoted.insert(query.value(0).toString(), query.value(1).toString());
    }
    QStringList names;
    for (const QString& table : tables)
        names << quoted.value(table, table);
    return names;
}

struct DroppableKind {
    QString type;   // as the table of contents names it, and as DROP names it
    QString lookup; // the live object's identifier, by the entry's schema and raw name
};

// The lookups run with an empty search path, as pg_dump writes the argument types of a
// routine's name, and the server renders every identifier fully qualified and quoted.
QList<DroppableKind> makeDroppableKinds()
{
    const QString entry = QStringLiteral(
        "WITH entry(nsp, name) AS (VALUES (CAST(? AS text), CAST(? AS text))) ");
    const QString relation =
        entry
        + QStringLiteral("SELECT format('%I.%I', n.nspname, c.relname) FROM entry"
                         " JOIN pg_namespace n ON n.nspname = entry.nsp"
                         " JOIN pg_class c ON c.relnamespace = n.oid AND c.relname = entry.name"
                         " WHERE c.relkind IN (%1)");
    const QString type =
        entry
        + QStringLiteral("SELECT format('%I.%I', n.nspname, t.typname) FROM entry"
                         " JOIN pg_namespace n ON n.nspname = entry.nsp"
                         " JOIN pg_type t ON t.typnamespace = n.oid AND t.typname = entry.name"
                         " LEFT JOIN pg_class c ON c.oid = t.typrelid WHERE (%1)");
    const QString routine =
        entry
        + QStringLiteral("SELECT CAST(CAST(p.oid AS regprocedure) AS text) FROM entry"
                         " JOIN pg_namespace n ON n.nspname = entry.nsp"
                         " JOIN pg_proc p ON p.pronamespace = n.oid"
                         "  AND p.proname || '(' || oidvectortypes(p.proargtypes) || ')'"
                         "      = entry.name"
                         " WHERE p.prokind IN (%1)");
    const QString schema =
        entry
        + QStringLiteral("SELECT format('%I', n.nspname) FROM entry"
                         " JOIN pg_namespace n ON n.nspname = entry.name"
                         " WHERE n.nspname <> 'public'");
    return {
        {QStringLiteral("TABLE"), relation.arg(QLatin1String("'r', 'p'"))},
        {QStringLiteral("VIEW"), relation.arg(QLatin1String("'v'"))},
        {QStringLiteral("MATERIALIZED VIEW"), relation.arg(QLatin1String("'m'"))},
        {QStringLiteral("SEQUENCE"), relation.arg(QLatin1String("'S'"))},
        {QStringLiteral("FUNCTION"), routine.arg(QLatin1String("'f', 'w'"))},
        {QStringLiteral("PROCEDURE"), routine.arg(QLatin1String("'p'"))},
        {QStringLiteral("AGGREGATE"), routine.arg(QLatin1String("'a'"))},
        // Enum, range and standalone composite types; a table's row type goes with its table.
        {QStringLiteral("TYPE"),
         type.arg(QLatin1String("t.typtype IN ('e', 'r') OR c.relkind = 'c'"))},
        {QStringLiteral("DOMAIN"), type.arg(QLatin1String("t.typtype = 'd'"))},
        {QStringLiteral("SCHEMA"), schema},
        // A large object, which the dump creates again under its own number.
        {QStringLiteral("BLOB"),
         entry
             + QStringLiteral("SELECT CAST(l.oid AS text) FROM entry"
                              " JOIN pg_largeobject_metadata l"
                              "  ON CAST(l.oid AS text) = entry.name")},
    };
}

const DroppableKind* kindOf(const DumpObject& object)
{
    static const QList<DroppableKind> kinds = makeDroppableKinds();
    for (const DroppableKind& kind : kinds)
        if (kind.type == object.type)
            return &kind;
    return nullptr;
}

// Large objects have no DROP of their own.
QString dropStatement(const DroppableKind& kind, const QString& identifier)
{
    return kind.type == QLatin1String("BLOB")
               ? QStringLiteral("SELECT pg_catalog.lo_unlink(%1)").arg(identifier)
               : QStringLiteral("DROP %1 %2").arg(kind.type, identifier);
}

bool execute(QSqlDatabase& db, const QString& statement, QString& error)
{
    QSqlQuery query(db);
    if (query.exec(statement))
        return true;
    error = query.lastError().text();
    return false;
}

// Finds the live object that the entry names: identifier is then its identifier as the server
// renders it, otherwise a null string.
bool lookUp(QSqlDatabase& db, const DroppableKind& kind, const DumpObject& object,
            QString& identifier, QString& error)
{
    QString name = object.name;
    // pg_dump names an aggregate without arguments "count(*)".
    if (kind.type == QLatin1String("AGGREGATE") && name.endsWith(QLatin1String("(*)")))
        name.replace(name.size() - 3, 3, QStringLiteral("()"));
    QSqlQuery query(db);
    query.prepare(kind.lookup);
    query.addBindValue(object.schema);
    query.addBindValue(name);
    if (!query.exec()) {
        error = query.lastError().text();
        return false;
    }
    identifier = query.next() ? query.value(0).toString() : QString();
    return true;
}

bool clearInTransaction(QSqlDatabase& db, const QStringList& tables,
                        const QList<DumpObject>& objects, QString& error)
{
    // Every listed table goes in one statement: foreign keys between them cannot make the
    // order matter, and CASCADE takes views and owned sequences along.
    if (!tables.isEmpty()) {
        db.exec(QStringLiteral("DROP TABLE %1 CASCADE;").arg(tables.join(QLatin1Char(','))));
        if (db.lastError().isValid()) {
            error = db.lastError().text();
            return false;
        }
    }
    if (!execute(db, QStringLiteral("SET LOCAL search_path = ''"), error))
        return false;

    // Tables that the driver does not list (partitioned ones, names beginning with "Inv" or
    // "pg_") go the same way, together.
    QStringList leftTables;
    for (const DumpObject& object : objects) {
        QString identifier;
        if (object.type == QLatin1String("TABLE")
            && !lookUp(db, *kindOf(object), object, identifier, error))
            return false;
        if (!identifier.isNull())
            leftTables << identifier;
    }
    const QString leftList = leftTables.join(QLatin1String(", "));
    if (!leftTables.isEmpty()
        && !execute(db, QStringLiteral("DROP TABLE %1 CASCADE").arg(leftList), error))
        return false;

    // pg_dump orders its entries so that each comes after what it depends on: the reverse
    // order drops dependents first. Each is looked up only now, as an earlier drop may have
    // taken it along.
    for (auto object = objects.crbegin(); object != objects.crend(); ++object) {
        const DroppableKind* kind = kindOf(*object);
        if (!kind || kind->type == QLatin1String("TABLE"))
            continue;
        QString identifier;
        if (!lookUp(db, *kind, *object, identifier, error))
            return false;
        if (!identifier.isNull()
            && !execute(db, dropStatement(*kind, identifier), error))
            return false;
    }
    return true;
}

} // namespace

bool clearPostgresDatabase(QSqlDatabase& db, const QList<DumpObject>& objects, QString& error)
{
    const QStringList tables = quotedTableNames(db, db.tables(QSql::Tables));
    if (!db.transaction()) {
        error = db.lastError().text();
        return false;
    }
    // A failure undoes every drop: the database is then as it was.
    if (clearInTransaction(db, tables, objects, error)) {
        if (db.commit())
            return true;
        error = db.lastError().text();
    }
    db.rollback();
    return false;
}
