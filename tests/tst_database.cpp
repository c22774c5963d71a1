// Database backup, check and restore against real SQLite files and a real PostgreSQL server.
#include "db/database.h"
#include "server/server_config.h"
#include "tests/support/pg_cluster.h"
#include "tests/support/test_support.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

// Tables with a foreign key between them, a view on both, and a moved sequence.
const QString schema = R"(
CREATE TABLE projects (id serial PRIMARY KEY, name text NOT NULL);
CREATE TABLE sheets (id serial PRIMARY KEY,
                     project integer NOT NULL REFERENCES projects(id),
                     title text, scale numeric(6,2), drawn timestamptz);
CREATE VIEW sheet_titles AS SELECT p.name, s.title FROM projects p JOIN sheets s ON s.project = p.id;
INSERT INTO projects (name) VALUES ('harbour'), ('plant "north"'), (E'line\nbreak');
INSERT INTO sheets (project, title, scale, drawn) VALUES
    (1, 'quay wall', 1.50, '2026-03-01 08:00+00'), (2, NULL, 20.00, '2026-04-02 17:30+02'),
    (3, 'Ü-profile', 0.25, NULL);
SELECT setval('projects_id_seq', 40);
)";

// Everything a restore must bring back, as comparable text.
QStringList content(const TestCluster& cluster, const QString& database)
{
    return cluster.query(database, "SELECT * FROM projects ORDER BY id")
           + cluster.query(database, "SELECT id, project, title, scale, drawn AT TIME ZONE 'UTC'"
                                     " FROM sheets ORDER BY id")
           + cluster.query(database, "SELECT * FROM sheet_titles ORDER BY 1, 2")
           + cluster.query(database, "SELECT last_value FROM projects_id_seq")
           + cluster.query(database, "SELECT tablename FROM pg_tables WHERE schemaname = "
                                     "'public' ORDER BY 1");
}

} // namespace

class tst_Database : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void sqliteBackup_data();
    void sqliteBackup();
    void sqliteBackupUnreadableUnprivileged();
    void unknownLocation_data();
    void unknownLocation();
    void compatibility_data();
    void compatibility();
    void sqliteRestore_data();
    void sqliteRestore();
    void postgresRoundTrip();
    void restoreIntoDatabaseWithoutTables();
    void allTablesDroppedInOneStatement();
    void postgresFailures_data();
    void postgresFailures();
    void dropRefusedLeavesDatabaseAlone();

private:
    QString expand(QString text) const;

    TestCluster m_cluster;
    QScopedPointer<QTemporaryDir> m_tmp;
    ServerConfig m_config;
};

void tst_Database::initTestCase()
{
    QVERIFY2(m_cluster.load(), qPrintable(m_cluster.error()));
}

void tst_Database::init()
{
    m_tmp.reset(new QTemporaryDir);
    QVERIFY(m_tmp->isValid());
    m_config.serverFolder = m_tmp->filePath("server/");
    m_config.workFolder = m_tmp->filePath("backup/.work/");
    QVERIFY(QDir().mkpath(m_config.workFolder));
    QVERIFY(writeFile(m_tmp->filePath("server/data/main.db"), QByteArray("SQLite format 3\0main", 20)));
}

// %T: the test folder; %S: the server folder; %W: the work folder; %P: a cluster URL prefix.
QString tst_Database::expand(QString text) const
{
    return text.replace("%T", m_tmp->path())
        .replace("%S", m_config.serverFolder)
        .replace("%W", m_config.workFolder)
        .replace("%P", m_cluster.url(QString()));
}

void tst_Database::sqliteBackup_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("setup"); // "": none, "conflict": a dump of that name exists
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("line");

    // clang-format off
    QTest::newRow("relative location") << "sqlite://data/main.db" << "" << "db_dump.db" << "";
    QTest::newRow("absolute location") << "sqlite://%Sdata/main.db" << "" << "db_dump.db" << "";
    QTest::newRow("dump name already taken") << "sqlite://data/main.db" << "conflict" << ""
        << "[error] Failed to backup database %Sdata/main.db at %Wdb_dump.db";
    QTest::newRow("missing file") << "sqlite://data/none.db" << "" << ""
        << "[error] Failed to backup database %Sdata/none.db at %Wdb_dump.db";
    QTest::newRow("folder instead of a file") << "sqlite://data" << "" << ""
        << "[error] Failed to backup database %Sdata at %Wdb_dump.db";
    // clang-format on
}

void tst_Database::sqliteBackup()
{
    QFETCH(QString, location);
    QFETCH(QString, setup);
    QFETCH(QString, result);
    QFETCH(QString, line);
    if (setup == "conflict")
        QVERIFY(writeFile(m_config.workFolder + "db_dump.db", "older"));
    const QByteArray before = readFile(m_config.workFolder + "db_dump.db");

    TraceCapture trace;
    const QString name = backupDatabase(m_config, "db", expand(location));
    QCOMPARE(name, result);
    QCOMPARE(name.isNull(), result.isEmpty());
    QCOMPARE(trace.lines(), line.isEmpty() ? QStringList() : QStringList{expand(line)});
    QCOMPARE(readFile(m_config.workFolder + "db_dump.db"),
             result.isEmpty() ? before : readFile(m_config.serverFolder + "data/main.db"));
}

void tst_Database::sqliteBackupUnreadableUnprivileged()
{
    QVERIFY(::chmod(QFile::encodeName(m_tmp->path()).constData(), 0755) == 0);
    QVERIFY(::chmod(QFile::encodeName(m_config.workFolder).constData(), 0777) == 0);
    QVERIFY(QFile::setPermissions(m_config.serverFolder + "data/main.db", QFile::ReadOwner));

    TraceCapture trace;
    QCOMPARE(runInChild([&] {
                 return becomeNobody() && backupDatabase(m_config, "db", "sqlite://data/main.db")
                                              == "db_dump.db";
             }),
             1);
    QCOMPARE(trace.lines(),
             QStringList{expand("[error] Failed to backup database %Sdata/main.db at %Wdb_dump.db")});
    QVERIFY(!QFileInfo::exists(m_config.workFolder + "db_dump.db"));
}

void tst_Database::unknownLocation_data()
{
    QTest::addColumn<QString>("location");
    QTest::newRow("postgresql scheme") << "postgresql://localhost/vellacor";
    QTest::newRow("capital letters") << "SQLITE://data/main.db";
    QTest::newRow("plain path") << "/srv/vellacor/main.db";
    QTest::newRow("empty") << "";
}

void tst_Database::unknownLocation()
{
    QFETCH(QString, location);
    TraceCapture trace;
    QVERIFY(backupDatabase(m_config, "reporting", location).isNull());
    QCOMPARE(trace.lines(), QStringList{"[error] Unknown database type " + location});
}

void tst_Database::compatibility_data()
{
    QTest::addColumn<QString>("dump"); // in %T/backup; created unless "missing" is in its name
    QTest::addColumn<QString>("location");
    QTest::addColumn<bool>("compatible");
    QTest::addColumn<QString>("line");

    const QString notCompatible = "[error] Backup database is not compatible. Backup is ";
    // clang-format off
    QTest::newRow("sqlite into sqlite") << "db_dump.db" << "sqlite://data/new/main.db" << true << "";
    QTest::newRow("sqlite dump missing") << "missing_dump.db" << "sqlite://data/main.db" << false
        << "[error] File %T/backup/missing_dump.db does not exist.";
    QTest::newRow("sqlite into a plain path") << "db_dump.db" << "/srv/main.db" << false
        << notCompatible + "sqlite, but target database /srv/main.db is file";
    QTest::newRow("sqlite into postgres") << "db_dump.db" << "%Pvellacor" << false
        << notCompatible + "sqlite, but target database %Pvellacor is postgres";
    QTest::newRow("postgres into sqlite") << "db_dump.sql" << "sqlite://data/main.db" << false
        << notCompatible + "postgres, but target database sqlite://data/main.db is sqlite";
    QTest::newRow("postgres into postgresql scheme") << "db_dump.sql" << "postgresql://h/db"
        << false << notCompatible + "postgres, but target database postgresql://h/db is postgresql";
    QTest::newRow("postgres dump missing") << "missing_dump.sql" << "%Ppostgres" << false
        << "[error] File %T/backup/missing_dump.sql does not exist.";
    QTest::newRow("postgres reachable") << "db_dump.sql" << "%Ppostgres" << true << "";
    QTest::newRow("capital extension") << "db_dump.SQL" << "%Ppostgres" << false
        << "[error] Unknown backup database type at %T/backup/db_dump.SQL";
    // clang-format on
}

void tst_Database::compatibility()
{
    QFETCH(QString, dump);
    QFETCH(QString, location);
    QFETCH(bool, compatible);
    QFETCH(QString, line);
    const QString dumpPath = m_tmp->filePath("backup/" + dump);
    if (!dump.contains("missing"))
        QVERIFY(writeFile(dumpPath, "dump"));

    TraceCapture trace;
    QCOMPARE(checkDatabaseCompatibility(m_config, dumpPath, expand(location)), compatible);
    QCOMPARE(trace.lines(), line.isEmpty() ? QStringList() : QStringList{expand(line)});
}

void tst_Database::sqliteRestore_data()
{
    QTest::addColumn<QString>("dump");
    QTest::addColumn<QString>("location");
    QTest::addColumn<bool>("restored");
    QTest::addColumn<QString>("line");

    // clang-format off
    QTest::newRow("replaces the file") << "db_dump.db" << "sqlite://data/main.db" << true << "";
    QTest::newRow("no file there yet") << "db_dump.db" << "sqlite://data/other.db" << true << "";
    QTest::newRow("a folder in the way") << "db_dump.db" << "sqlite://data" << false
        << "[error] Failed to remove exiting database %Sdata";
    QTest::newRow("dump of no known kind") << "db_dump.bak" << "sqlite://data/main.db" << false
        << "[error] Unknown database type %T/backup/db_dump.bak";
    // clang-format on
}

void tst_Database::sqliteRestore()
{
    QFETCH(QString, dump);
    QFETCH(QString, location);
    QFETCH(bool, restored);
    QFETCH(QString, line);
    const QString dumpPath = m_tmp->filePath("backup/" + dump);
    QVERIFY(writeFile(dumpPath, QByteArray("SQLite format 3\0restored", 24)));
    QVERIFY(writeFile(m_config.serverFolder + "data/keep", "unrelated"));
    const QString target = resolvePath(m_config, location, true);
    const QByteArray before = readFile(m_config.serverFolder + "data/main.db");

    TraceCapture trace;
    QCOMPARE(restoreDatabase(m_config, dumpPath, location), restored);
    QCOMPARE(trace.lines(), line.isEmpty() ? QStringList() : QStringList{expand(line)});
    if (restored)
        QCOMPARE(readFile(target), readFile(dumpPath));
    else
        QCOMPARE(readFile(m_config.serverFolder + "data/main.db"), before);
    QCOMPARE(readFile(m_config.serverFolder + "data/keep"), QByteArray("unrelated"));
}

void tst_Database::postgresRoundTrip()
{
    QVERIFY(m_cluster.createDatabase("roundtrip"));
    QCOMPARE(m_cluster.query("roundtrip", schema), QStringList{"40"});
    const QStringList before = content(m_cluster, "roundtrip");
    const QString location = m_cluster.url("roundtrip");

    TraceCapture trace;
    QCOMPARE(backupDatabase(m_config, "db", location), QString("db_dump.sql"));
    const QString dump = m_config.workFolder + "db_dump.sql";
    QVERIFY(QFileInfo(dump).size() > 0);
    QVERIFY(!readFile(dump).contains("GRANT")); // privileges are left out

    // Changed after the backup: rows, the sequence, and a table that the dump does not hold.
    QCOMPARE(m_cluster.query("roundtrip", "DELETE FROM sheets WHERE id = 2;"
                                          "UPDATE projects SET name = 'renamed' WHERE id = 1;"
                                          "SELECT setval('projects_id_seq', 99);"
                                          "CREATE TABLE added_later (x int REFERENCES projects(id));"),
             QStringList{"99"});
    QVERIFY(content(m_cluster, "roundtrip") != before);

    QVERIFY(checkDatabaseCompatibility(m_config, dump, location));
    const bool restored = restoreDatabase(m_config, dump, location);
    QCOMPARE(trace.lines(), QStringList());
    QVERIFY(restored);
    QCOMPARE(content(m_cluster, "roundtrip"), before);
}

void tst_Database::restoreIntoDatabaseWithoutTables()
{
    QVERIFY(m_cluster.createDatabase("source_db"));
    QCOMPARE(m_cluster.query("source_db", schema), QStringList{"40"});
    QVERIFY(m_cluster.createDatabase("empty_db"));

    TraceCapture trace;
    QCOMPARE(backupDatabase(m_config, "reporting", m_cluster.url("source_db")),
             QString("reporting_dump.sql"));
    QVERIFY(restoreDatabase(m_config, m_config.workFolder + "reporting_dump.sql",
                            m_cluster.url("empty_db")));
    QCOMPARE(trace.lines(), QStringList());
    QCOMPARE(content(m_cluster, "empty_db"), content(m_cluster, "source_db"));
}

void tst_Database::allTablesDroppedInOneStatement()
{
    QVERIFY(m_cluster.createDatabase("three_tables"));
    QCOMPARE(m_cluster.query("three_tables",
                             "CREATE TABLE a (id int PRIMARY KEY);"
                             "CREATE TABLE b (a int REFERENCES a(id));"
                             "CREATE TABLE c (b int);"
                             "ALTER DATABASE three_tables SET log_statement = 'all';"),
             QStringList());
    QVERIFY(writeFile(m_config.workFolder + "db_dump.sql", "CREATE TABLE d (x int);\n"));

    TraceCapture trace;
    QVERIFY(clearAndLoadPostgresDatabase(m_config.workFolder + "db_dump.sql",
                                         m_cluster.url("three_tables")));
    QCOMPARE(trace.lines(), QStringList());
    QCOMPARE(m_cluster.query("three_tables", "SELECT tablename FROM pg_tables WHERE "
                                             "schemaname = 'public' ORDER BY 1"),
             QStringList{"d"});
    // The server logged one drop naming every table; the order is the driver's.
    const QStringList drops = QString::fromUtf8(readFile(m_cluster.logFile()))
                                  .split('\n')
                                  .filter(QRegularExpression("statement: DROP TABLE .* CASCADE;$"));
    QCOMPARE(drops.size(), 1);
    const QString tables = drops.first().section("DROP TABLE ", 1).section(' ', 0, 0);
    QStringList names = tables.split(',');
    names.sort();
    QCOMPARE(names, (QStringList{"a", "b", "c"}));
}

void tst_Database::postgresFailures_data()
{
    QTest::addColumn<QString>("operation"); // "backup", "check" or "restore"
    QTest::addColumn<QString>("location");
    QTest::addColumn<QStringList>("lineStarts"); // each line begins so; the rest is PostgreSQL's

    // clang-format off
    QTest::newRow("dump of a missing database") << "backup" << "%Pno_such_db"
        << QStringList{"[error] There were errors when running pg_dump: pg_dump: error: ",
                       "", "[error] Failed to backup database %Pno_such_db at %Wdb_dump.sql"};
    QTest::newRow("check: connection refused") << "check" << "postgres://postgres@127.0.0.1:1/x"
        << QStringList{"[error] Failed to open connection to database postgres://postgres@127.0.0.1:1/x : "};
    QTest::newRow("check: missing database") << "check" << "%Pno_such_db"
        << QStringList{"[error] Failed to open connection to database %Pno_such_db : "};
    QTest::newRow("load with a failing statement") << "restore" << "%Ploadfail"
        << QStringList{"[error] There were errors when running psql: psql:%Wdb_dump.sql:1: ERROR:  ", ""};
    // clang-format on
}

void tst_Database::postgresFailures()
{
    QFETCH(QString, operation);
    QFETCH(QString, location);
    QFETCH(QStringList, lineStarts);
    QVERIFY(m_cluster.createDatabase("loadfail"));
    const QString dump = m_config.workFolder + "db_dump.sql";
    QVERIFY(writeFile(dump, "INSERT INTO nowhere VALUES (1);\n"));

    TraceCapture trace;
    bool succeeded = true;
    if (operation == "backup") {
        QVERIFY(QFile::remove(dump));
        succeeded = !backupDatabase(m_config, "db", expand(location)).isNull();
    } else if (operation == "check") {
        succeeded = checkDatabaseCompatibility(m_config, dump, expand(location));
    } else {
        succeeded = restoreDatabase(m_config, dump, expand(location));
    }
    QVERIFY(!succeeded);
    // The lines that PostgreSQL's programs add after the first one are theirs to word.
    const QStringList lines = trace.lines();
    QVERIFY2(lines.size() >= lineStarts.size(), qPrintable(lines.join('\n')));
    QVERIFY2(lines.first().startsWith(expand(lineStarts.first())), qPrintable(lines.first()));
    QVERIFY2(lines.first().size() > expand(lineStarts.first()).size(), qPrintable(lines.first()));
    if (lineStarts.size() > 1)
        QCOMPARE(lines.mid(lines.size() - lineStarts.size() + 1),
                 QStringList(lineStarts.mid(1)).replaceInStrings("%W", m_config.workFolder)
                     .replaceInStrings("%P", m_cluster.url(QString())));
}

void tst_Database::dropRefusedLeavesDatabaseAlone()
{
    QVERIFY(m_cluster.createDatabase("guarded"));
    QCOMPARE(m_cluster.query("guarded", "DROP ROLE IF EXISTS reader;"
                                        "CREATE ROLE reader LOGIN;"
                                        "CREATE TABLE kept (x int); INSERT INTO kept VALUES (7);"),
             QStringList());
    QVERIFY(writeFile(m_config.workFolder + "db_dump.sql", "CREATE TABLE loaded (x int);\n"));
    const QString location = m_cluster.url("guarded", "reader");

    TraceCapture trace;
    QVERIFY(!restoreDatabase(m_config, m_config.workFolder + "db_dump.sql", location));
    // The driver's error text spans two lines: the server's message, then the driver's own.
    QCOMPARE(trace.lines(), (QStringList{"[error] Failed to remove existing data in database "
                                             + location + " : ERROR:  must be owner of table kept",
                                         "(42501) QPSQL: Unable to create query"}));
    // psql never ran: nothing was loaded and the data is still there.
    QCOMPARE(m_cluster.query("guarded", "SELECT tablename FROM pg_tables WHERE schemaname = "
                                        "'public' ORDER BY 1"),
             QStringList{"kept"});
    QCOMPARE(m_cluster.query("guarded", "SELECT x FROM kept"), QStringList{"7"});
}

QTEST_GUILESS_MAIN(tst_Database)
#include "tst_database.moc"
