// Backup and restore run as the administrator runs them: the built tool on a real installation.
#include "tests/support/control_server.h"
#include "tests/support/pg_cluster.h"
#include "tests/support/test_support.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Runs statements on an SQLite file and returns the rows of the last one, a line per row.
QStringList sqlite(const QString& file, const QStringList& statements)
{
    static int counter = 0;
    const QString name = QStringLiteral("e2e-%1").arg(++counter);
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        if (db.open()) {
            QSqlQuery query(db);
            for (const QString& statement : statements)
                query.exec(statement);
            while (query.next()) {
                QStringList fields;
                for (int i = 0; i < query.record().count(); ++i)
                    fields << query.value(i).toString();
                rows << fields.join(QLatin1Char('|'));
            }
        }
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}

// Every entry below folder, hidden ones included, with the content of each file.
QMap<QString, QByteArray> snapshot(const QString& folder)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        entries.insert(QDir(folder).relativeFilePath(path),
                       info.isSymLink() ? "link:" + QFile::encodeName(info.symLinkTarget())
                       : info.isDir()   ? QByteArray("folder")
                                        : readFile(path));
    }
    return entries;
}

QStringList topLevelNames(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

// A port on which nothing listens.
quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// An SQLite installation: <root>/server/{production.yaml,data/main.db,data/reporting.db,media}.
struct Installation {
    QTemporaryDir dir;
    QString root = dir.path() + QStringLiteral("/installation");
    QString server = root + QStringLiteral("/server/");
    QString mainDb = server + QStringLiteral("data/main.db");
    QString reportingDb = server + QStringLiteral("data/reporting.db");
    QString media = server + QStringLiteral("media");
    QString backups = dir.path() + QStringLiteral("/backups");
    int port = closedPort();

    Installation() { writeConfiguration(); }

    void writeConfiguration(const QByteArray& extra = QByteArray())
    {
        writeFile(server + QStringLiteral("production.yaml"),
                  "server:\n  db: \"sqlite://data/main.db\"\n"
                  "  reporting_db: sqlite://data/reporting.db\n"
                  "  asset_root: media\n  control_port: "
                      + QByteArray::number(port) + "\n" + extra);
    }

    bool create()
    {
        QDir().mkpath(server + QStringLiteral("data"));
        sqlite(mainDb, {QStringLiteral("CREATE TABLE projects (id INTEGER PRIMARY KEY, name TEXT)"),
                        QStringLiteral("INSERT INTO projects VALUES (1, 'harbour'), (2, 'plant')")});
        sqlite(reportingDb, {QStringLiteral("CREATE TABLE sessions (id INTEGER, minutes INTEGER)"),
                             QStringLiteral("INSERT INTO sessions VALUES (1, 42), (2, 17)")});
        return QFileInfo::exists(mainDb) && QFileInfo::exists(reportingDb)
               && writeFile(media + QStringLiteral("/images/quay.png"), QByteArray(70000, 'q'))
               && writeFile(media + QStringLiteral("/docs/shift plan.txt"), "early, late\n")
               && writeFile(media + QStringLiteral("/.hidden"), "not copied\n");
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VELLACOR_ROOT"), root);
        return env;
    }

    ToolRun run(const QStringList& arguments) const { return runTool(arguments, environment()); }

    // Replaces the placeholders {P} (backups), {S} (server folder) and {R} (root) in lines.
    QStringList expand(QStringList lines) const
    {
        for (QString& line : lines)
            line.replace(QStringLiteral("{P}"), backups)
                .replace(QStringLiteral("{S}"), server)
                .replace(QStringLiteral("{R}"), root);
        return lines;
    }
};

QString readingLine(const Installation& installation)
{
    return QStringLiteral("[info] Reading server configuration from ") + installation.server
           + QStringLiteral("production.yaml");
}

} // namespace

class tst_EndToEnd : public QObject {
    Q_OBJECT

private slots:
    void roundTripRestoresBytesAndRows();
    void postgresInstallationRoundTrip_data();
    void postgresInstallationRoundTrip();
    void defaultFolderUnderBackupRoot();
    void editorSuspendedDuringBackup_data();
    void editorSuspendedDuringBackup();
    void failedBackupKeepsEarlierBackup_data();
    void failedBackupKeepsEarlierBackup();
    void refusedRestoreChangesNothing_data();
    void refusedRestoreChangesNothing();
    void failedRestoreStopsAtFirstComponent();
    void unprivilegedUserIsRefused();
    void fullVolumeFailsBeforeTouchingBackup();
};

void tst_EndToEnd::roundTripRestoresBytesAndRows()
{
    Installation installation;
    QVERIFY(installation.create());
    const QByteArray mainBefore = readFile(installation.mainDb);
    const QMap<QString, QByteArray> mediaBefore = snapshot(installation.media);

    const ToolRun backup =
        installation.run({QStringLiteral("--backup"), QStringLiteral("--backup-path"),
                          installation.backups, QStringLiteral("--backup-skip"),
                          QStringLiteral(" db,DB,,Reporting")});
    QCOMPARE(backup.lines, installation.expand({QStringLiteral("[info] Creating a backup of Vellacor data"),
                                                readingLine(installation),
                                                QStringLiteral("[info] Created a backup of Vellacor data in {P}")}));
    QCOMPARE(backup.exitCode, 0);
    QCOMPARE(topLevelNames(installation.backups),
             QStringList({QStringLiteral("assets"), QStringLiteral("bw-vellacor-backup-metadata.json"),
                          QStringLiteral("db_dump.db"), QStringLiteral("reporting_dump.db")}));
    QCOMPARE(readFile(installation.backups + QStringLiteral("/db_dump.db")), mainBefore);
    QVERIFY(!QFileInfo::exists(installation.backups + QStringLiteral("/assets/.hidden")));

    const QByteArray metadata =
        readFile(installation.backups + QStringLiteral("/bw-vellacor-backup-metadata.json"));
    QVERIFY2(metadata.startsWith(R"({"assets":{"file":"assets"},"backup-time":")"), metadata);
    QVERIFY2(metadata.endsWith(R"(","db":{"file":"db_dump.db"},"reporting":{"file":"reporting_dump.db"},"version":"1.0.0"})"),
             metadata);

    sqlite(installation.mainDb, {QStringLiteral("DELETE FROM projects WHERE id = 1")});
    sqlite(installation.reportingDb, {QStringLiteral("DROP TABLE sessions")});
    QVERIFY(QFile::remove(installation.media + QStringLiteral("/images/quay.png")));
    QVERIFY(writeFile(installation.media + QStringLiteral("/new/after-backup.txt"), "new\n"));

    const ToolRun restore = installation.run(
        {QStringLiteral("--restore"), QStringLiteral("--backup-path"), installation.backups});
    QCOMPARE(restore.lines,
             installation.expand({QStringLiteral("[info] Restoring a backup of Vellacor data"),
                                  readingLine(installation),
                                  QStringLiteral("[info] Restored a backup of Vellacor data from {P}")}));
    QCOMPARE(restore.exitCode, 0);
    QCOMPARE(readFile(installation.mainDb), mainBefore);
    QCOMPARE(sqlite(installation.reportingDb, {QStringLiteral("SELECT * FROM sessions ORDER BY id")}),
             QStringList({QStringLiteral("1|42"), QStringLiteral("2|17")}));
    // Hidden entries directly in the library are neither backed up nor removed by a restore.
    QCOMPARE(snapshot(installation.media), mediaBefore);
}

void tst_EndToEnd::postgresInstallationRoundTrip_data()
{
    QTest::addColumn<bool>("reportingInPostgres");
    QTest::newRow("main database in PostgreSQL, reporting in SQLite") << false;
    QTest::newRow("both databases in PostgreSQL") << true;
}

void tst_EndToEnd::postgresInstallationRoundTrip()
{
    QFETCH(bool, reportingInPostgres);
    TestCluster cluster;
    QVERIFY2(cluster.load(), qPrintable(cluster.error()));
    QVERIFY(cluster.createDatabase("e2e_main"));
    QVERIFY(cluster.createDatabase("e2e_reporting"));
    const QString rows = "CREATE TABLE projects (id serial PRIMARY KEY, name text);"
                         "CREATE TABLE sheets (project int REFERENCES projects(id), title text);"
                         "INSERT INTO projects (name) VALUES ('harbour'), ('plant');"
                         "INSERT INTO sheets VALUES (1, 'quay'), (2, 'hall'), (2, 'yard');";
    QCOMPARE(cluster.query("e2e_main", rows), QStringList());
    QCOMPARE(cluster.query("e2e_reporting", rows), QStringList());
    const auto content = [&cluster](const QString& database) {
        return cluster.query(database, "SELECT p.id, p.name, s.title FROM projects p "
                                       "JOIN sheets s ON s.project = p.id ORDER BY 1, 3");
    };
    const QStringList mainBefore = content("e2e_main");

    Installation installation;
    QVERIFY(installation.create());
    installation.writeConfiguration("  db: " + cluster.url("e2e_main").toUtf8() + "\n"
                                    + (reportingInPostgres
                                           ? "  reporting_db: \"" + cluster.url("e2e_reporting").toUtf8()
                                                 + "\"\n"
                                           : QByteArray()));
    const QStringList reportingBefore = sqlite(installation.reportingDb, {"SELECT * FROM sessions"});

    const ToolRun backup = installation.run({"--backup", "--backup-path", installation.backups});
    QCOMPARE(backup.lines, installation.expand({"[info] Creating a backup of Vellacor data",
                                                readingLine(installation),
                                                "[info] Created a backup of Vellacor data in {P}"}));
    QCOMPARE(backup.exitCode, 0);
    QCOMPARE(topLevelNames(installation.backups),
             (QStringList{"assets", "bw-vellacor-backup-metadata.json", "db_dump.sql",
                          reportingInPostgres ? "reporting_dump.sql" : "reporting_dump.db"}));

    QCOMPARE(cluster.query("e2e_main", "DELETE FROM sheets; UPDATE projects SET name = 'x';"
                                       "CREATE TABLE later (y int);"),
             QStringList());
    QCOMPARE(cluster.query("e2e_reporting", "DROP TABLE sheets;"), QStringList());
    sqlite(installation.reportingDb, {"DELETE FROM sessions"});

    const ToolRun restore = installation.run({"--restore", "--backup-path", installation.backups});
    QCOMPARE(restore.lines,
             installation.expand({"[info] Restoring a backup of Vellacor data",
                                  readingLine(installation),
                                  "[info] Restored a backup of Vellacor data from {P}"}));
    QCOMPARE(restore.exitCode, 0);
    QCOMPARE(content("e2e_main"), mainBefore);
    QCOMPARE(cluster.query("e2e_main", "SELECT count(*) FROM pg_tables WHERE tablename = 'later'"),
             QStringList{"0"});
    if (reportingInPostgres)
        QCOMPARE(content("e2e_reporting"), mainBefore);
    else
        QCOMPARE(sqlite(installation.reportingDb, {"SELECT * FROM sessions"}), reportingBefore);
}

void tst_EndToEnd::defaultFolderUnderBackupRoot()
{
    Installation installation;
    QVERIFY(installation.create());
    installation.writeConfiguration("  backup_root: ../../backups\n");

    const ToolRun run = installation.run({QStringLiteral("--backup")});
    QCOMPARE(run.exitCode, 0);
    const QStringList made = topLevelNames(installation.backups);
    QCOMPARE(made.size(), 1);
    const QRegularExpression name(QStringLiteral("^(\\d{13})_(\\d{4}_\\d\\d_\\d\\d)_1\\.0\\.0_vellacor-backup$"));
    const QRegularExpressionMatch match = name.match(made.first());
    QVERIFY2(match.hasMatch(), qPrintable(made.first()));
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(match.captured(1).toLongLong());
    QCOMPARE(when.toString(QStringLiteral("yyyy_MM_dd")), match.captured(2));
    QCOMPARE(run.lines.last(), QStringLiteral("[info] Created a backup of Vellacor data in ")
                                   + installation.backups + QLatin1Char('/') + made.first());
}

void tst_EndToEnd::editorSuspendedDuringBackup_data()
{
    QTest::addColumn<int>("mode"); // -1: nothing listening
    QTest::addColumn<QStringList>("controlLines");
    QTest::addColumn<QByteArray>("received");
    const QString suspending = QStringLiteral("[info] Suspending Vellacor Editor");
    const QString resuming = QStringLiteral("[info] Resuming Vellacor Editor");
    const QByteArray start = "{\"msg\" : \"start-backup\"}\n";
    const QByteArray finish = "{\"msg\" : \"finish-backup\"}\n";
    // clang-format off
    QTest::newRow("no server") << -1 << QStringList() << QByteArray();
    QTest::newRow("answers") << int(FakeControlServer::Mode::Answer)
                             << QStringList{suspending, resuming} << start + finish;
    QTest::newRow("answers in pieces") << int(FakeControlServer::Mode::AnswerInPieces)
                                       << QStringList{suspending, resuming} << start + finish;
    QTest::newRow("drops the connection") << int(FakeControlServer::Mode::Drop)
                                          << QStringList{suspending} << start;
    // clang-format on
}

void tst_EndToEnd::editorSuspendedDuringBackup()
{
    QFETCH(int, mode);
    QFETCH(QStringList, controlLines);
    QFETCH(QByteArray, received);

    Installation installation;
    QVERIFY(installation.create());
    std::unique_ptr<FakeControlServer> server;
    if (mode >= 0) {
        server = std::make_unique<FakeControlServer>(FakeControlServer::Mode(mode));
        QVERIFY(server->port() != 0);
        installation.port = server->port();
        installation.writeConfiguration();
    }

    const ToolRun run = installation.run(
        {QStringLiteral("--backup"), QStringLiteral("--backup-path"), installation.backups});
    QCOMPARE(run.exitCode, 0);
    QStringList expected = {QStringLiteral("[info] Creating a backup of Vellacor data"),
                            readingLine(installation)};
    expected << controlLines
             << QStringLiteral("[info] Created a backup of Vellacor data in ") + installation.backups;
    QCOMPARE(run.lines, expected);
    if (server)
        QTRY_COMPARE_WITH_TIMEOUT(server->received(), received, 5000);
}

void tst_EndToEnd::failedBackupKeepsEarlierBackup_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("failureLines"); // after the opening and configuration lines
    QTest::addColumn<int>("exitCode");

    const QString failed = QStringLiteral("[error] Vellacor backup process failed.");
    // clang-format off
    QTest::newRow("earlier backup without --delete") << "" << QStringList()
        << QStringList{QStringLiteral("[error] Backup path {P}/earlier contains data with conflicting names. Please remove existing data or enable --delete to allow backup process to delete folder contents."), failed}
        << 2;
    QTest::newRow("media library missing") << "no media" << QStringList{QStringLiteral("--delete")}
        << QStringList{QStringLiteral("[error] File {S}media does not exist."), failed}
        << 2;
    QTest::newRow("database of no known kind") << "postgresql" << QStringList{QStringLiteral("--delete")}
        << QStringList{QStringLiteral("[error] Unknown database type postgresql://localhost/main"), failed}
        << 2;
    QTest::newRow("every component skipped") << ""
        << QStringList{QStringLiteral("--delete"), QStringLiteral("--backup-skip"), QStringLiteral("assets,reporting,db")}
        << QStringList{QStringLiteral("[info] Skipping main database in backup."),
                       QStringLiteral("[info] Skipping reporting database in backup."),
                       QStringLiteral("[info] Skipping media library in backup."),
                       QStringLiteral("[error] No components selected for backup."), failed}
        << 2;
    QTest::newRow("backup path is a file") << "path is a file" << QStringList()
        << QStringList{QStringLiteral("[error] Failed to create a backup folder {P}/earlier/db_dump.db"), failed}
        << 2;
    QTest::newRow("installation not found") << "no installation" << QStringList()
        << QStringList{QStringLiteral("[error] Failed to find Vellacor installation: installation folder {R} does not exist"), failed}
        << 2;
    // clang-format on
}

void tst_EndToEnd::failedBackupKeepsEarlierBackup()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, failureLines);
    QFETCH(int, exitCode);

    Installation installation;
    QVERIFY(installation.create());
    const QString earlier = installation.backups + QStringLiteral("/earlier");
    QVERIFY(installation.run({QStringLiteral("--backup"), QStringLiteral("--backup-path"), earlier})
                .exitCode
            == 0);
    QVERIFY(writeFile(earlier + QStringLiteral("/notes.txt"), "foreign content\n"));
    const QMap<QString, QByteArray> before = snapshot(installation.backups);

    QString backupPath = earlier;
    if (setup == QLatin1String("no media"))
        QVERIFY(QDir(installation.media).removeRecursively());
    else if (setup == QLatin1String("postgresql"))
        installation.writeConfiguration("  db: postgresql://localhost/main\n");
    else if (setup == QLatin1String("path is a file"))
        backupPath = earlier + QStringLiteral("/db_dump.db");
    else if (setup == QLatin1String("no installation"))
        QVERIFY(QDir(installation.root).removeRecursively());

    const ToolRun run = installation.run(QStringList{QStringLiteral("--backup"),
                                                     QStringLiteral("--backup-path"), backupPath}
                                         + arguments);
    QStringList expected = {QStringLiteral("[info] Creating a backup of Vellacor data")};
    if (setup != QLatin1String("no installation"))
        expected << readingLine(installation);
    QCOMPARE(run.lines, expected + installation.expand(failureLines));
    QCOMPARE(run.exitCode, exitCode);
    // The earlier backup is whole and no temporary folder is left beside it.
    QCOMPARE(snapshot(installation.backups), before);
}

void tst_EndToEnd::refusedRestoreChangesNothing_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("failureLines");

    const QString failed = QStringLiteral("[error] Vellacor restore process failed.");
    const QString load = QStringLiteral("[error] Failed to load Vellacor backup data from {P}");
    const QString metadata = QStringLiteral("{P}/bw-vellacor-backup-metadata.json");
    // clang-format off
    QTest::newRow("server running") << "server" << QStringList()
        << QStringList{QStringLiteral("[error] Vellacor server is running, please shut down Vellacor server and client before restoring a backup"), failed};
    QTest::newRow("backup path missing") << "no backup" << QStringList()
        << QStringList{QStringLiteral("[error] Backup path {P} does not exist."), failed};
    QTest::newRow("backup path is a file") << "path is a file" << QStringList()
        << QStringList{QStringLiteral("[error] Failed to open metadata file {P}/db_dump.db/bw-vellacor-backup-metadata.json for reading"),
                       QStringLiteral("[error] Failed to load Vellacor backup data from {P}/db_dump.db"), failed};
    QTest::newRow("metadata empty") << "metadata:" << QStringList()
        << QStringList{QStringLiteral("[error] Error in reading JSON data from %1 : illegal value").arg(metadata), load, failed};
    QTest::newRow("metadata truncated") << R"(metadata:{"version":"1.0.0","db":{"fi)" << QStringList()
        << QStringList{QStringLiteral("[error] Error in reading JSON data from %1 : unterminated string").arg(metadata), load, failed};
    QTest::newRow("metadata an array") << R"(metadata:["1.0.0"])" << QStringList()
        << QStringList{QStringLiteral("[error] Failed to parse backup version from metadata."), load, failed};
    QTest::newRow("version of wrong type") << R"(metadata:{"version":{"major":1}})" << QStringList()
        << QStringList{QStringLiteral("[error] Failed to parse backup version from metadata."), load, failed};
    QTest::newRow("newer in the last component") << R"(metadata:{"version":"1.0.1"})"
        << QStringList{QStringLiteral("--restore-skip"), QStringLiteral("db,reporting,assets")}
        << QStringList{QStringLiteral("[error] Backup is from a newer version of Vellacor, found backup version 1.0.1 but current Vellacor version is 1.0.0"), load, failed};
    QTest::newRow("entry climbing out") << R"(metadata:{"version":"1.0.0","db":{"file":"../earlier/db_dump.db"}})" << QStringList()
        << QStringList{QStringLiteral("[error] Invalid entry ../earlier/db_dump.db for component db in backup metadata."), load, failed};
    QTest::newRow("absolute entry") << R"(metadata:{"version":"1.0.0","assets":{"file":"/etc"}})" << QStringList()
        << QStringList{QStringLiteral("[info] Backup doesn't contain main database."),
                       QStringLiteral("[info] Backup doesn't contain reporting database."),
                       QStringLiteral("[error] Invalid entry /etc for component assets in backup metadata."), load, failed};
    QTest::newRow("reporting check fails after db passed") << R"(metadata:{"version":"0.9","db":{"file":"db_dump.db"},"reporting":{"file":"reporting_dump.sql"}})" << QStringList()
        << QStringList{QStringLiteral("[error] Backup database is not compatible. Backup is postgres, but target database sqlite://data/reporting.db is sqlite"), load, failed};
    QTest::newRow("component of the wrong type") << R"(metadata:{"version":"1.0.0","db":"db_dump.db"})" << QStringList()
        << QStringList{"[error] Invalid entry  for component db in backup metadata.", load, failed};
    QTest::newRow("file of the wrong type") << R"(metadata:{"version":"1.0.0","db":{"file":7}})" << QStringList()
        << QStringList{"[error] Unknown backup database type at {P}/7", load, failed};
    QTest::newRow("version as a number") << R"(metadata:{"version":2,"db":{"file":"db_dump.db"}})" << QStringList()
        << QStringList{"[error] Backup is from a newer version of Vellacor, found backup version 2 but current Vellacor version is 1.0.0", load, failed};
    QTest::newRow("entry names a missing file") << R"(metadata:{"version":"1.0.0","db":{"file":"missing.db"}})" << QStringList()
        << QStringList{"[error] File {P}/missing.db does not exist.", load, failed};
    QTest::newRow("100 MB of JSON") << "huge" << QStringList()
        << QStringList{"[error] Backup is from a newer version of Vellacor, found backup version 7.1 but current Vellacor version is 1.0.0", load, failed};
    QTest::newRow("skip items matched whole") << R"(metadata:{"version":"1.0.0"})"
        << QStringList{QStringLiteral("--restore-skip"), QStringLiteral(" db,REPORTING,,assets")}
        << QStringList{QStringLiteral("[info] Backup doesn't contain main database."),
                       QStringLiteral("[info] Backup doesn't contain reporting database."),
                       QStringLiteral("[info] Skipping media library in restore."),
                       QStringLiteral("[error] No components selected for restore."), failed};
    // clang-format on
}

void tst_EndToEnd::refusedRestoreChangesNothing()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, failureLines);

    Installation installation;
    QVERIFY(installation.create());
    QVERIFY(installation.run({QStringLiteral("--backup"), QStringLiteral("--backup-path"),
                              installation.backups})
                .exitCode
            == 0);
    QVERIFY(writeFile(installation.media + QStringLiteral("/after-backup.txt"), "keep me\n"));

    std::unique_ptr<FakeControlServer> server;
    QString backupPath = installation.backups;
    if (setup == QLatin1String("server")) {
        server = std::make_unique<FakeControlServer>(FakeControlServer::Mode::Answer);
        installation.port = server->port();
        installation.writeConfiguration();
    } else if (setup == QLatin1String("no backup")) {
        QVERIFY(QDir(installation.backups).removeRecursively());
    } else if (setup == QLatin1String("path is a file")) {
        backupPath += QStringLiteral("/db_dump.db");
    } else if (setup == "huge") {
        QByteArray json = R"({"padding":[)";
        const QByteArray item = R"({"file":"assets","note":"a long text that nothing reads"},)";
        while (json.size() < 100 * 1000 * 1000)
            json += item;
        json += R"(0],"version":"7.1"})";
        QVERIFY(writeFile(installation.backups + "/bw-vellacor-backup-metadata.json", json));
    } else if (setup.startsWith(QLatin1String("metadata:"))) {
        QVERIFY(writeFile(installation.backups + QStringLiteral("/bw-vellacor-backup-metadata.json"),
                          setup.mid(9).toUtf8()));
    }
    const QMap<QString, QByteArray> before = snapshot(installation.root);

    const ToolRun run = installation.run(QStringList{QStringLiteral("--restore"),
                                                     QStringLiteral("--backup-path"), backupPath}
                                         + arguments);
    QCOMPARE(run.lines, QStringList({QStringLiteral("[info] Restoring a backup of Vellacor data"),
                                     readingLine(installation)})
                            + installation.expand(failureLines));
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(snapshot(installation.root), before);
    if (server)
        QCOMPARE(server->received(), QByteArray()); // probed, nothing sent
}

void tst_EndToEnd::failedRestoreStopsAtFirstComponent()
{
    Installation installation;
    QVERIFY(installation.create());
    QVERIFY(installation.run({QStringLiteral("--backup"), QStringLiteral("--backup-path"),
                              installation.backups})
                .exitCode
            == 0);
    sqlite(installation.mainDb, {QStringLiteral("DELETE FROM projects")});
    QVERIFY(writeFile(installation.media + QStringLiteral("/after-backup.txt"), "untouched\n"));
    // A folder where the reporting database file should be cannot be removed as a file.
    QVERIFY(QFile::remove(installation.reportingDb));
    QVERIFY(QDir().mkpath(installation.reportingDb + QStringLiteral("/occupied")));

    const ToolRun run = installation.run(
        {QStringLiteral("--restore"), QStringLiteral("--backup-path"), installation.backups});
    QCOMPARE(run.lines.mid(2),
             QStringList({QStringLiteral("[error] Failed to remove exiting database ") + installation.reportingDb,
                          QStringLiteral("[error] Vellacor restore process failed.")}));
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(sqlite(installation.mainDb, {QStringLiteral("SELECT count(*) FROM projects")}),
             QStringList{QStringLiteral("2")}); // restored before the failure
    QVERIFY(QFileInfo::exists(installation.media + QStringLiteral("/after-backup.txt")));
}

void tst_EndToEnd::unprivilegedUserIsRefused()
{
    Installation installation;
    QVERIFY(installation.create());
    QVERIFY(QFile::setPermissions(installation.dir.path(), QFile::ReadOwner | QFile::WriteOwner
                                                               | QFile::ExeOwner | QFile::ReadOther
                                                               | QFile::ExeOther));
    QVERIFY(QDir().mkpath(installation.backups));

    // The backups folder belongs to root and is not writable for nobody.
    const ToolRun backup = runToolAsNobody(
        {QStringLiteral("--backup"), QStringLiteral("--backup-path"), installation.backups},
        installation.environment());
    QCOMPARE(backup.lines.mid(2),
             QStringList({QStringLiteral("[error] User does not have permission to write to ")
                              + installation.backups,
                          QStringLiteral("[error] Vellacor backup process failed.")}));
    QCOMPARE(backup.exitCode, 2);

    QVERIFY(QFile::setPermissions(installation.backups, QFile::ReadOwner | QFile::WriteOwner
                                                            | QFile::ExeOwner));
    const ToolRun restore = runToolAsNobody(
        {QStringLiteral("--restore"), QStringLiteral("--backup-path"), installation.backups},
        installation.environment());
    QCOMPARE(restore.lines.mid(2),
             QStringList({QStringLiteral("[error] Backup path %1 is not readable.").arg(installation.backups),
                          QStringLiteral("[error] Vellacor restore process failed.")}));
    QCOMPARE(restore.exitCode, 2);
}

void tst_EndToEnd::fullVolumeFailsBeforeTouchingBackup()
{
    Installation installation;
    QVERIFY(installation.create());
    QVERIFY(writeFile(installation.media + QStringLiteral("/video.bin"), QByteArray(600 * 1024, 'v')));
    QVERIFY(QDir().mkpath(installation.backups));

    // A 512 KiB volume, private to this one run, as the backup folder.
    QProcess shell;
    shell.setProcessEnvironment(installation.environment());
    shell.start(QStringLiteral("unshare"),
                {QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"),
                 QStringLiteral("mount --make-rprivate / && mount -t tmpfs -o size=512k tmpfs \"$1\" "
                                "&& \"$2\" --backup --backup-path \"$1\"; echo \"status $?\"; ls -A \"$1\""),
                 QStringLiteral("sh"), installation.backups, QStringLiteral(BWV_TOOL_PATH)});
    QVERIFY(shell.waitForFinished(60000));
    const QString output = QString::fromUtf8(shell.readAllStandardOutput());
    const QString errors = QString::fromUtf8(shell.readAllStandardError());
    QVERIFY2(errors.contains(QStringLiteral("[error] Not enough space available at ")), qPrintable(errors));
    QVERIFY2(errors.endsWith(QStringLiteral("[error] Vellacor backup process failed.\n")), qPrintable(errors));
    QCOMPARE(output, QStringLiteral("status 2\n")); // nothing left on the volume
}

QTEST_GUILESS_MAIN(tst_EndToEnd)
#include "tst_end_to_end.moc"
