// Database backup, check and restore on real SQLite files and a real PostgreSQL server.
#include "db/database.h"
#include "server/server_config.h"
#include "tests/support/support.h"

#include <QtTest>

#include <unistd.h>

namespace {

// A writer in a sqlite3 process: runs sql, then the commands of later, then stays, holding its
// locks and its uncheckpointed commits, until it is killed.
struct SqliteWriter {
    QProcess process;
    bool start(const QString& file, const QString& sql, const QString& later = "")
    {
        process.start("sqlite3", {"-bail", file});
        process.write((sql + "\n.print ready\n" + later + "\n").toUtf8());
        QByteArray output;
        while (!output.contains("ready") && process.waitForReadyRead(10000))
            output += process.readAll();
        return output.contains("ready");
    }
    ~SqliteWriter() // as a crash ends it
    {
        process.kill();
        process.waitForFinished(10000);
    }
};

// A writer that holds its lock until it commits.
const QString exclusive = "CREATE TABLE t (x); BEGIN EXCLUSIVE; INSERT INTO t VALUES (1);";

QString ownerAndMode(const QString& path) // "65534 640"
{
    return QString("%1 %2").arg(fileStatus(path).st_uid).arg(fileStatus(path).st_mode & 07777, 0, 8);
}

} // namespace

class tst_Database : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void failures_data();
    void failures();
    void postgresRoundTrip();
    void sqliteRoundTrip();

private:
    QString expand(QString text) const
    {
        return text.replace("%T", m_tmp->path()).replace("%W", m_config.workFolder).replace("%P", m_cluster.url(""))
            .replace("%R", m_cluster.url("guarded", "reader"));
    }

    TestCluster m_cluster;
    QScopedPointer<QTemporaryDir> m_tmp;
    ServerConfig m_config;
};

void tst_Database::initTestCase()
{
    QVERIFY(m_cluster.createDatabase("guarded"));
    const QString guarded = "DROP ROLE IF EXISTS reader; CREATE ROLE reader LOGIN; CREATE TABLE kept (x int);";
    QCOMPARE(m_cluster.query("guarded", guarded), QStringList());
}

void tst_Database::init()
{
    m_tmp.reset(new QTemporaryDir);
    m_config.serverFolder = m_tmp->filePath("server/");
    m_config.workFolder = m_tmp->filePath("work/");
    QVERIFY(writeFile(m_config.serverFolder + "data/main.db", QByteArray("SQLite format 3\0main", 20)));
    const QString head = "=--\n-- PostgreSQL database dump\n--\n\n\\restrict k\n\n-- Dumped by pg_dump version ";
    const QString complete = "\n--\n-- PostgreSQL database dump complete\n--\n\n\\unrestrict k\n\n";
    QVERIFY(makeTree(m_tmp->path(), {
        "f:work/db_dump.sql=INSERT INTO nowhere VALUES (1);\n", "f:backup/db_dump.db=dump", "f:backup/db_dump.SQL=dump",
        "f:backup/db_dump.bak=dump", "x:bin/psql=#!/bin/sh\necho 'psql (PostgreSQL) 15.13'\n",
        "f:backup/current.sql" + head + "15.20\n" + complete, "f:backup/newer.sql" + head + "16.1 (Debian 16.1-1)\n" + complete,
        "f:backup/cut.sql" + head + "15.20\nCOPY public.t (x) FROM stdin;\n1\n"}));
}

void tst_Database::failures_data()
{
    // %T: the test folder, with server/data/main.db, backup/db_dump.{db,SQL,bak} and the
    // dumps backup/{current,newer,cut}.sql; %W: the work folder, holding db_dump.sql; %P: the
    // test cluster's URL up to the database. A row tagged "locked" runs while a writer holds
    // server/data/live.db; "psql 15.13" and "no psql" change PATH.
    QTest::addColumn<QString>("operation"); // backup, check, dump check or restore
    QTest::addColumn<QString>("dump");      // component for a backup
    QTest::addColumn<QString>("location");
    QTest::addColumn<QStringList>("lines"); // a line ending in "…" continues with PostgreSQL's own text

    const QString notCompatible = "[error] Backup database is not compatible. Backup is ";
    // clang-format off
    QTest::newRow("backup: name taken in the work folder") << "backup" << "db" << "sqlite://%T/server/data/main.db"
        << QStringList{"[error] Failed to backup database %T/server/data/main.db at %Wdb_dump.db"};
    QTest::newRow("backup: postgres dump name taken") << "backup" << "db" << "%Ppostgres"
        << QStringList{"[error] Failed to backup database %Ppostgres at %Wdb_dump.sql"};
    QTest::newRow("backup: file only root may read, run as nobody") << "backup" << "reporting" << "sqlite://data/main.db"
        << QStringList{"[error] SQLite could not back up %T/server/data/main.db: unable to open database file",
                       "[error] Failed to backup database %T/server/data/main.db at %Wreporting_dump.db"};
    QTest::newRow("backup: locked past the wait") << "backup" << "reporting" << "sqlite://data/live.db"
        << QStringList{"[error] SQLite could not back up %T/server/data/live.db: database is locked",
                       "[error] Failed to backup database %T/server/data/live.db at %Wreporting_dump.db"};
    QTest::newRow("dump check: sqlite") << "dump check" << "%T/backup/db_dump.db" << ""
        << QStringList{"[error] Backup check failed for %T/backup/db_dump.db: SQLite cannot read it: file is not a database"};
    QTest::newRow("backup: postgresql scheme") << "backup" << "db" << "postgresql://h/db"
        << QStringList{"[error] Unknown database type postgresql://h/db"};
    QTest::newRow("check: sqlite into a plain path") << "check" << "%T/backup/db_dump.db" << "/srv/main.db"
        << QStringList{notCompatible + "sqlite, but target database /srv/main.db is file"};
    QTest::newRow("check: sqlite target folder cannot be made") << "check" << "%T/backup/db_dump.db" << "sqlite://data/main.db/x/y.db"
        << QStringList{"[error] %T/server/data/main.db/x: Not a directory", "[error] Failed to create folder %T/server/data/main.db/x"};
    QTest::newRow("check: postgres into postgresql scheme") << "check" << "%Wdb_dump.sql" << "postgresql://h/db"
        << QStringList{notCompatible + "postgres, but target database postgresql://h/db is postgresql"};
    QTest::newRow("check: postgres dump missing") << "check" << "%T/none.sql" << "%Px"
        << QStringList{"[error] File %T/none.sql does not exist."};
    QTest::newRow("check: connection refused") << "check" << "%Wdb_dump.sql" << "postgres://u:pw@127.0.0.1:1/x"
        << QStringList{"[error] Failed to open connection to database postgres://u:pw@127.0.0.1:1/x : …", "…", "QPSQL: Unable to connect"};
    QTest::newRow("check: postgres, cut short") << "check" << "%T/backup/cut.sql" << "%Ppostgres"
        << QStringList{"[error] Backup check failed for %T/backup/cut.sql: it does not end with pg_dump's completion line, so it is incomplete"};
    QTest::newRow("check: postgres, newer pg_dump") << "check" << "%T/backup/newer.sql" << "%Ppostgres"
        << QStringList{"[error] Backup check failed for %T/backup/newer.sql: it was made by pg_dump 16.1 (Debian 16.1-1), a newer major version than psql 15.…"};
    QTest::newRow("check: postgres, \\restrict unknown to psql 15.13") << "check" << "%T/backup/current.sql" << "%Ppostgres"
        << QStringList{"[error] Backup check failed for %T/backup/current.sql: it holds a \\restrict command, which psql 15.13 does not know (a psql of at least 13.22, 14.19, 15.14, 16.10 or 17.6 does)"};
    QTest::newRow("check: postgres, no psql") << "check" << "%T/backup/current.sql" << "%Ppostgres"
        << QStringList{"[error] Error: Could not start psql"};
    QTest::newRow("check: capital extension") << "check" << "%T/backup/db_dump.SQL" << "%Ppostgres"
        << QStringList{"[error] Unknown backup database type at %T/backup/db_dump.SQL"};
    QTest::newRow("restore: dump of no known kind") << "restore" << "%T/backup/db_dump.bak" << "sqlite://data/main.db"
        << QStringList{"[error] Unknown database type %T/backup/db_dump.bak"};
    QTest::newRow("restore: drop refused, psql not run") << "restore" << "%Wdb_dump.sql" << "%R"
        << QStringList{"[error] Failed to remove existing data in database %R : ERROR:  must be owner of table kept",
                       "(42501) QPSQL: Unable to create query"}; // the driver's text: the server's line, then its own
    QTest::newRow("restore: failing statement") << "restore" << "%Wdb_dump.sql" << "%Ppostgres"
        << QStringList{"[error] There were errors when running psql: psql:%Wdb_dump.sql:1: ERROR:  …", "…", "…", ""};
    // clang-format on
}

void tst_Database::failures()
{
    QFETCH(QString, operation);
    QFETCH(QString, dump);
    QFETCH(QString, location);
    QFETCH(QStringList, lines);
    QVERIFY(writeFile(m_config.workFolder + "db_dump.db", "taken"));
    const QByteArray mainBefore = readFile(m_config.serverFolder + "data/main.db");
    const QString tag = QTest::currentDataTag();
    const bool asNobody = tag.contains("nobody");
    QVERIFY(!asNobody || (setMode(m_tmp->path(), 0755) && setMode(m_config.workFolder, 0777)));
    QVERIFY(!asNobody || setMode(m_config.serverFolder + "data/main.db", 0600));
    SqliteWriter writer;
    const QString live = m_config.serverFolder + "data/live.db";
    QVERIFY(!tag.contains("locked") || writer.start(live, exclusive));

    TraceCapture trace;
    const int result = runInChild([&] {
        if (asNobody && !becomeNobody())
            return true;
        if (tag.contains("psql"))
            qputenv("PATH", expand(tag.contains("no psql") ? "%T/none" : "%T/bin").toUtf8());
        const QString from = expand(dump), to = expand(location);
        return operation == "backup"       ? !backupDatabase(m_config, dump, to).isNull()
               : operation == "check"      ? checkDatabaseCompatibility(m_config, from, to)
               : operation == "dump check" ? checkDatabaseDump(from)
                                           : restoreDatabase(m_config, from, to);
    });
    QCOMPARE(result, 1);
    const QStringList expected = expand(lines.join('\n')).split('\n');
    QVERIFY2(linesMatch(trace.lines(), expected), qPrintable(trace.lines().join('\n')));
    QCOMPARE(readFile(m_config.serverFolder + "data/main.db"), mainBefore);
    QCOMPARE(m_cluster.query("guarded", "SELECT count(*) FROM kept"), QStringList{"0"}); // nothing dropped
}

void tst_Database::postgresRoundTrip()
{
    // Objects of every kind that dropping the tables leaves behind (a large object too), a mixed-case
    // table, one whose name the driver does not list ("Inv..."), foreign keys and a second schema.
    QVERIFY(m_cluster.createDatabase("shop"));
    QCOMPARE(m_cluster.query("shop", R"(
        CREATE SCHEMA audit; CREATE TYPE mood AS ENUM ('sad', 'ok', 'happy'); CREATE TYPE pair AS (a int, b text);
        CREATE TYPE span AS RANGE (subtype = float8); CREATE DOMAIN positive AS int CHECK (VALUE > 0);
        CREATE SEQUENCE tickets START 100; CREATE SEQUENCE audit."Odd Seq";
        CREATE TABLE people (id serial PRIMARY KEY, name text, feeling mood, age positive);
        CREATE TABLE "UserEvents" (id int GENERATED ALWAYS AS IDENTITY PRIMARY KEY, person int REFERENCES people,
                                   ticket int DEFAULT nextval('tickets'));
        CREATE TABLE "Invoices" (person int REFERENCES people, amount numeric);
        CREATE TABLE audit.log (event int REFERENCES "UserEvents", note text);
        CREATE FUNCTION add_one(x positive) RETURNS int LANGUAGE sql AS 'SELECT x + 1';
        CREATE FUNCTION audit.note() RETURNS trigger LANGUAGE plpgsql
            AS $$ BEGIN INSERT INTO audit.log VALUES (NEW.id, 'new'); RETURN NEW; END $$;
        CREATE TRIGGER noted AFTER INSERT ON "UserEvents" FOR EACH ROW EXECUTE FUNCTION audit.note();
        CREATE PROCEDURE bump() LANGUAGE sql AS 'SELECT nextval(''tickets'')';
        CREATE AGGREGATE audit.total(int) (sfunc = int4pl, stype = int);
        CREATE VIEW happy AS SELECT * FROM people WHERE feeling = 'happy'; CREATE VIEW calm AS SELECT add_one(2);
        INSERT INTO people (name, feeling, age) VALUES ('ann', 'happy', 30), ('bob', 'sad', 40);
        INSERT INTO "UserEvents" (person) VALUES (1), (2), (2); INSERT INTO "Invoices" VALUES (1, 9.5);
        DO 'BEGIN PERFORM lo_from_bytea(4242, ''scan''); END';
        CREATE MATERIALIZED VIEW audit.counts AS SELECT person, count(*) FROM "UserEvents" GROUP BY person;)"),
             QStringList());
    const auto state = [&](const QString& database) { // every object, every row and the sequences' positions
        return m_cluster.query(database, R"(SELECT * FROM (
            SELECT format('%s %s', relkind, oid::regclass) FROM pg_class WHERE relnamespace IN ('public'::regnamespace,
                'audit'::regnamespace)
            UNION ALL SELECT format('%s %s', prokind, oid::regprocedure) FROM pg_proc
                WHERE pronamespace IN ('public'::regnamespace, 'audit'::regnamespace)
            UNION ALL SELECT format('%s %s %s', typtype, oid::regtype,
                (SELECT string_agg(enumlabel, ',' ORDER BY enumsortorder) FROM pg_enum WHERE enumtypid = t.oid))
                FROM pg_type t WHERE typnamespace = 'public'::regnamespace AND typtype IN ('e', 'd', 'r')
            UNION ALL SELECT format('%s %s %s', conname, conrelid::regclass, pg_get_constraintdef(oid))
                FROM pg_constraint WHERE connamespace = 'public'::regnamespace
            UNION ALL SELECT tgname FROM pg_trigger WHERE NOT tgisinternal
            UNION ALL SELECT format('%s', t) FROM people t UNION ALL SELECT format('%s', t) FROM "UserEvents" t
            UNION ALL SELECT format('%s', t) FROM "Invoices" t UNION ALL SELECT format('%s', t) FROM audit.log t
            UNION ALL SELECT format('%s', t) FROM audit.counts t UNION ALL SELECT format('%s', t) FROM calm t
            UNION ALL SELECT format('%s %s', last_value, is_called) FROM tickets
            UNION ALL SELECT format('lo %s %s', oid, lo_get(oid)) FROM pg_largeobject_metadata) AS o ORDER BY 1)");
    };
    const QStringList before = state("shop");
    const QString url = m_cluster.url("shop");
    QCOMPARE(backupDatabase(m_config, "reporting", url), QString("reporting_dump.sql"));
    const QString dump = m_config.workFolder + "reporting_dump.sql";
    QCOMPARE(ownerAndMode(dump), QString("0 600"));
    QVERIFY(checkDatabaseDump(dump));

    // After the backup: rows changed, an enum value renamed, and an object the dump does not know.
    QCOMPARE(m_cluster.query("shop", R"(UPDATE people SET name = 'eve'; DELETE FROM audit.log;
        INSERT INTO "UserEvents" (person) VALUES (1); ALTER TYPE mood RENAME VALUE 'happy' TO 'glad'; CALL bump();
        CREATE FUNCTION kept() RETURNS int LANGUAGE sql AS 'SELECT 1';)"),
             QStringList());
    TraceCapture trace;
    QVERIFY(checkDatabaseCompatibility(m_config, dump, url));
    QVERIFY(restoreDatabase(m_config, dump, url));
    QCOMPARE(trace.lines(), QStringList());
    QStringList expected = before + QStringList{"f kept()"};
    expected.sort();
    QCOMPARE(state("shop"), expected);
    // A new, empty database has nothing to drop.
    QVERIFY(m_cluster.createDatabase("fresh") && restoreDatabase(m_config, dump, m_cluster.url("fresh")));
    QCOMPARE(state("fresh"), before);

    // A drop that fails undoes every drop before it: here a view that the dump does not know
    // uses one of its functions.
    QCOMPARE(m_cluster.query("shop", "CREATE VIEW blocker AS SELECT add_one(1)"), QStringList());
    const QStringList withBlocker = state("shop");
    QVERIFY(!restoreDatabase(m_config, dump, url));
    const QString failure = trace.lines().join('\n');
    QVERIFY2(failure.startsWith("[error] Failed to remove existing data in database " + url
                                + " : ERROR:  cannot drop function public.add_one"), qPrintable(failure));
    QCOMPARE(state("shop"), withBlocker);
}

void tst_Database::sqliteRoundTrip()
{
    // A server in WAL mode that never checkpoints: three rows committed, a backup, then 1000
    // rows more and a second backup, while the writers hold their connections open.
    const QString live = m_config.serverFolder + "data/live.db";
    {
        SqliteWriter first, second; // killed at the end of the block: the -wal and -shm stay behind
        QVERIFY(first.start(live, "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0; CREATE TABLE t (x);"
                                  "INSERT INTO t VALUES (1), (2), (3);"));
        QCOMPARE(backupDatabase(m_config, "db", "sqlite://data/live.db"), QString("db_dump.db"));
        QVERIFY(second.start(live, "PRAGMA wal_autocheckpoint = 0; WITH RECURSIVE n(x) AS (SELECT 4 UNION ALL"
                                   " SELECT x + 1 FROM n WHERE x < 1003) INSERT INTO t SELECT x FROM n;"));
        QCOMPARE(backupDatabase(m_config, "reporting", "sqlite://data/live.db"), QString("reporting_dump.db"));
    }
    QVERIFY(QFileInfo::exists(live + "-wal") && QFileInfo::exists(live + "-shm"));
    const QMap<QString, QString> rows{{"db_dump.db", "3"}, {"reporting_dump.db", "1003"}};
    for (const QString& name : rows.keys()) {
        QCOMPARE(ownerAndMode(m_config.workFolder + name), QString("0 600"));
        QVERIFY(checkDatabaseDump(m_config.workFolder + name));
        QCOMPARE(sqlite(m_config.workFolder + name, "SELECT count(*) FROM t"), rows.value(name));
    }
    // A writer that holds its lock for a moment is waited for.
    SqliteWriter brief;
    QVERIFY(brief.start(m_config.serverFolder + "data/busy.db", exclusive, ".shell sleep 1\nCOMMIT;"));
    QCOMPARE(backupDatabase(m_config, "busy", "sqlite://data/busy.db"), QString("busy_dump.db"));
    QCOMPARE(sqlite(m_config.workFolder + "busy_dump.db", "SELECT count(*) FROM t"), QString("1"));

    // The server runs as nobody: its database is nobody's, mode 0640, in a folder of its own.
    QVERIFY(::chown(live.toUtf8(), 65534, 65534) == 0 && setMode(live, 0640) && setMode(m_tmp->path(), 0755));
    QVERIFY(::chown(QFileInfo(live).path().toUtf8(), 65534, 65534) == 0);
    QVERIFY(restoreDatabase(m_config, m_config.workFolder + "db_dump.db", "sqlite://data/live.db"));
    QCOMPARE(ownerAndMode(live), QString("65534 640"));
    QCOMPARE(sqlite(live, "SELECT group_concat(x) FROM t"), QString("1,2,3")); // nothing replayed from the old -wal
    const auto write = [&] { return becomeNobody() && sqlite(live, "INSERT INTO t VALUES (4) RETURNING x") == "4"; };
    QCOMPARE(runInChild(write), 0);
}

QTEST_GUILESS_MAIN(tst_Database)
#include "tst_database.moc"
