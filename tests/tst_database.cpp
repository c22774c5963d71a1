// Database backup, check and restore on real SQLite files and a real PostgreSQL server.
#include "db/database.h"
#include "server/server_config.h"
#include "tests/support/support.h"

#include <QTemporaryDir>
#include <QtTest>

class tst_Database : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void failures_data();
    void failures();
    void allTablesDroppedInOneStatement();

private:
    QString expand(QString text) const
    {
        return text.replace("%T", m_tmp->path()).replace("%W", m_config.workFolder).replace("%P", m_cluster.url("")).replace("%R", m_cluster.url("guarded", "reader"));
    }

    TestCluster m_cluster;
    QScopedPointer<QTemporaryDir> m_tmp;
    ServerConfig m_config;
};

void tst_Database::initTestCase()
{
    QVERIFY2(m_cluster.load(), "no test cluster: run the tests through ctest");
    QVERIFY(m_cluster.createDatabase("guarded"));
    QCOMPARE(m_cluster.query("guarded", "DROP ROLE IF EXISTS reader; CREATE ROLE reader LOGIN; CREATE TABLE kept (x int);"), QStringList());
}

void tst_Database::init()
{
    m_tmp.reset(new QTemporaryDir);
    m_config.serverFolder = m_tmp->filePath("server/");
    m_config.workFolder = m_tmp->filePath("work/");
    QVERIFY(writeFile(m_config.serverFolder + "data/main.db", QByteArray("SQLite format 3\0main", 20)));
    QVERIFY(writeFile(m_config.workFolder + "db_dump.sql", "INSERT INTO nowhere VALUES (1);\n"));
    for (const char* name : {"db_dump.db", "db_dump.SQL", "db_dump.bak"})
        QVERIFY(writeFile(m_tmp->filePath("backup/") + name, "dump"));
}

void tst_Database::failures_data()
{
    // %T: the test folder, with server/data/main.db and backup/db_dump.{db,SQL,bak};
    // %W: the work folder, holding db_dump.sql; %P: the test cluster's URL up to the database.
    QTest::addColumn<QString>("operation"); // backup, check or restore
    QTest::addColumn<QString>("dump");      // component for a backup
    QTest::addColumn<QString>("location");
    QTest::addColumn<QStringList>("lines"); // a line ending in "…" continues with PostgreSQL's own text

    const QString notCompatible = "[error] Backup database is not compatible. Backup is ";
    // clang-format off
    QTest::newRow("backup: name taken in the work folder") << "backup" << "db" << "sqlite://%T/server/data/main.db"
        << QStringList{"[error] Failed to backup database %T/server/data/main.db at %Wdb_dump.db"};
    QTest::newRow("backup: file only root may read, run as nobody") << "backup" << "reporting" << "sqlite://data/main.db"
        << QStringList{"[error] Failed to backup database %T/server/data/main.db at %Wreporting_dump.db"};
    QTest::newRow("backup: postgresql scheme") << "backup" << "db" << "postgresql://h/db"
        << QStringList{"[error] Unknown database type postgresql://h/db"};
    QTest::newRow("check: sqlite into a plain path") << "check" << "%T/backup/db_dump.db" << "/srv/main.db"
        << QStringList{notCompatible + "sqlite, but target database /srv/main.db is file"};
    QTest::newRow("check: sqlite target folder cannot be made") << "check" << "%T/backup/db_dump.db" << "sqlite://data/main.db/x/y.db"
        << QStringList{"[error] Failed to create folder %T/server/data/main.db/x"};
    QTest::newRow("check: sqlite dump missing") << "check" << "%T/backup/none.db" << "sqlite://data/main.db"
        << QStringList{"[error] File %T/backup/none.db does not exist."};
    QTest::newRow("check: postgres into postgresql scheme") << "check" << "%Wdb_dump.sql" << "postgresql://h/db"
        << QStringList{notCompatible + "postgres, but target database postgresql://h/db is postgresql"};
    QTest::newRow("check: postgres dump missing") << "check" << "%T/none.sql" << "%Px"
        << QStringList{"[error] File %T/none.sql does not exist."};
    QTest::newRow("check: connection refused") << "check" << "%Wdb_dump.sql" << "postgres://u:pw@127.0.0.1:1/x"
        << QStringList{"[error] Failed to open connection to database postgres://u:pw@127.0.0.1:1/x : …", "…", "QPSQL: Unable to connect"};
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

    const bool asNobody = QByteArray(QTest::currentDataTag()).contains("nobody");
    if (asNobody)
        QVERIFY(setMode(m_tmp->path(), 0755) && setMode(m_config.workFolder, 0777)
                && setMode(m_config.serverFolder + "data/main.db", 0600));

    TraceCapture trace;
    QCOMPARE(runInChild([&] {
                 if (asNobody && !becomeNobody())
                     return true;
                 return operation == "backup" ? !backupDatabase(m_config, dump, expand(location)).isNull()
                        : operation == "check" ? checkDatabaseCompatibility(m_config, expand(dump), expand(location))
                                               : restoreDatabase(m_config, expand(dump), expand(location));
             }),
             1);
    const QStringList written = trace.lines();
    QCOMPARE(written.size(), lines.size());
    for (int i = 0; i < lines.size(); ++i) {
        const QString expected = expand(lines.at(i));
        QVERIFY2(expected.endsWith("…") ? written.at(i).startsWith(expected.chopped(1)) : written.at(i) == expected,
                 qPrintable(written.at(i)));
    }
    QCOMPARE(readFile(m_config.serverFolder + "data/main.db"), mainBefore);
}

void tst_Database::allTablesDroppedInOneStatement()
{
    QVERIFY(m_cluster.createDatabase("three_tables") && m_cluster.createDatabase("no_tables"));
    QCOMPARE(m_cluster.query("three_tables", "CREATE TABLE a (id int PRIMARY KEY); CREATE TABLE b (a int REFERENCES a(id));"
                                             "CREATE TABLE c (b int); CREATE VIEW v AS SELECT * FROM a JOIN b ON b.a = a.id;"
                                             "ALTER DATABASE three_tables SET log_statement = 'all';"),
             QStringList());
    QVERIFY(writeFile(m_config.workFolder + "db_dump.sql", "CREATE TABLE d (x int);\n"));
    TraceCapture trace;
    QVERIFY(clearAndLoadPostgresDatabase(m_config.workFolder + "db_dump.sql", m_cluster.url("three_tables")));
    QVERIFY(clearAndLoadPostgresDatabase(m_config.workFolder + "db_dump.sql", m_cluster.url("no_tables")));
    QCOMPARE(trace.lines(), QStringList());
    for (const char* database : {"three_tables", "no_tables"})
        QCOMPARE(m_cluster.query(database, "SELECT relname FROM pg_class WHERE relkind IN ('r', 'v') AND relnamespace = 'public'::regnamespace"),
                 QStringList{"d"});
    // The server logged one drop that names every table, in the driver's order.
    const QStringList drops = QString(readFile(m_cluster.logFile())).split('\n').filter("statement: DROP TABLE");
    QCOMPARE(drops.size(), 1);
    QStringList names = drops.first().section("DROP TABLE ", 1).section(" CASCADE;", 0, 0).split(',');
    names.sort();
    QCOMPARE(names, QStringList({"a", "b", "c"}));
}

QTEST_GUILESS_MAIN(tst_Database)
#include "tst_database.moc"
