// The built tool as an administrator runs it: the command line, and backup and restore on real
// installations, with a scripted control server, as nobody and on a full volume.
#include "sys/files.h"
#include "tests/support/support.h"

#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <memory>

namespace {

// Runs statements on an SQLite file; the rows of the last one, fields joined by "|".
QStringList sqlite(const QString& file, const QStringList& statements)
{
    static int connections = 0;
    const QString name = QString("e2e-%1").arg(++connections);
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", name);
        db.setDatabaseName(file);
        db.open();
        QSqlQuery query(db);
        for (const QString& statement : statements)
            query.exec(statement);
        while (query.next())
            rows << query.value(0).toString() + '|' + query.value(1).toString();
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}

// Every entry below folder, hidden ones included, with each file's content.
QMap<QString, QByteArray> snapshot(const QString& folder)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries.insert(path, it.fileInfo().isDir() ? QByteArray("folder") : readFile(path));
    }
    return entries;
}

QStringList names(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// <T>/installation/server/{production.yaml,data/main.db,data/reporting.db,media/}, and
// <T>/backups beside it; the control port is one where nothing listens.
struct Installation {
    QTemporaryDir dir;
    QString root = dir.filePath("installation");
    QString server = root + "/server/";
    QString mainDb = server + "data/main.db";
    QString reportingDb = server + "data/reporting.db";
    QString media = server + "media";
    QString backups = dir.filePath("backups");
    int port = 0;

    Installation()
    {
        QTcpServer unused;
        unused.listen(QHostAddress::LocalHost);
        port = unused.serverPort();
        configure();
        QDir().mkpath(server + "data");
        sqlite(mainDb, {"CREATE TABLE projects (id INTEGER PRIMARY KEY, name TEXT)",
                        "INSERT INTO projects VALUES (1, 'harbour'), (2, 'plant')"});
        sqlite(reportingDb, {"CREATE TABLE sessions (id INTEGER, minutes INTEGER)",
                             "INSERT INTO sessions VALUES (1, 42), (2, 17)"});
        writeFile(media + "/images/quay.png", QByteArray(70000, 'q'));
        writeFile(media + "/docs/shift plan.txt", "early, late\n");
    }

    void configure(const QByteArray& extra = QByteArray())
    {
        writeFile(server + "production.yaml", "server:\n  db: \"sqlite://data/main.db\"\n  reporting_db: sqlite://data/reporting.db\n"
                                              "  asset_root: media\n  control_port: " + QByteArray::number(port) + "\n" + extra);
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VELLACOR_ROOT", root);
        return env;
    }

    ToolRun run(const QStringList& arguments) const { return runTool(arguments, environment()); }

    // The opening lines, then lines with {P} (the backups) and {S} (the server folder).
    QStringList expect(const char* opening, QStringList lines) const
    {
        return QStringList{QString("[info] ") + opening + " a backup of Vellacor data",
                           "[info] Reading server configuration from " + server + "production.yaml"}
               + lines.replaceInStrings("{P}", backups).replaceInStrings("{S}", server);
    }
};

} // namespace

class tst_EndToEnd : public QObject {
    Q_OBJECT

private slots:
    void usage_data();
    void usage();
    void roundTrip_data();
    void roundTrip();
    void defaultFolderUnderBackupRoot();
    void editorSuspendedDuringBackup_data();
    void editorSuspendedDuringBackup();
    void failures_data();
    void failures();
    void failingLate_data();
    void failingLate();
    void stoppedAndConcurrentBackups();
    void restoreFinishesComponentOnSignal();
    void progressOnATerminal();
};

void tst_EndToEnd::usage_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QByteArray>("after"); // what follows the usage text
    QTest::addColumn<int>("status");
    const QByteArray both("Cannot define both --backup and --restore, choose one please.\n");
    QTest::newRow("help") << "--help" << QByteArray() << 0;
    QTest::newRow("help wins over both commands") << "--backup --restore --help" << QByteArray() << 0;
    QTest::newRow("both commands, stray words") << "now --restore x --backup" << both << 1;
    QTest::newRow("no arguments") << "" << QByteArray() << 1;
    QTest::newRow("options without a command") << "--backup-path /srv/b --delete backup" << QByteArray() << 1;
}

void tst_EndToEnd::usage()
{
    QFETCH(QString, arguments);
    QFETCH(QByteArray, after);
    QFETCH(int, status);
    // Started as "./bw-vellacor-ctl", so that argv[0] shows as given.
    const ToolRun run = runTool(arguments.split(' ', Qt::SkipEmptyParts), QProcessEnvironment::systemEnvironment(),
                                QFileInfo(BWV_TOOL_PATH).path(), "./bw-vellacor-ctl");
    // The text itself is the usage table's: its first lines show argv[0] as given, its last ends
    // the restore options, and what follows it comes right after.
    QVERIFY2(run.standardError.startsWith("BW Vellacor control tool\nUsage:  ./bw-vellacor-ctl  <command> <options>\n--help "), run.standardError.constData());
    QVERIFY2(run.standardError.endsWith("assets - The contents of Vellacor media library\n" + after), run.standardError.constData());
    QCOMPARE(run.exitCode, status);
}

void tst_EndToEnd::roundTrip_data()
{
    QTest::addColumn<QStringList>("postgres"); // components kept in PostgreSQL
    QTest::addColumn<QString>("linked"); // a path made a link to what it named, which nobody owns
    QTest::newRow("SQLite installation") << QStringList() << "";
    QTest::newRow("main database in PostgreSQL") << QStringList{"db"} << "";
    QTest::newRow("both databases in PostgreSQL") << QStringList{"db", "reporting_db"} << "";
    QTest::newRow("backup folder a link") << QStringList() << "backups";
    QTest::newRow("backup root a link") << QStringList() << "backup_root";
    QTest::newRow("media library a link") << QStringList() << "media";
    QTest::newRow("SQLite file a link") << QStringList() << "main.db";
    QTest::newRow("installation root a link") << QStringList() << "installation";
}

void tst_EndToEnd::roundTrip()
{
    QFETCH(QStringList, postgres);
    QFETCH(QString, linked);
    Installation installation;
    TestCluster cluster;
    QByteArray configuration;
    for (const QString& key : postgres) {
        QVERIFY2(cluster.load(), "no test cluster: run the tests through ctest");
        QVERIFY(cluster.createDatabase("e2e_" + key));
        QCOMPARE(cluster.query("e2e_" + key, "CREATE TABLE projects (id serial PRIMARY KEY, name text);"
                                             "CREATE TABLE sheets (project int REFERENCES projects(id), title text);"
                                             "INSERT INTO projects (name) VALUES ('harbour'), ('plant');"
                                             "INSERT INTO sheets VALUES (1, 'quay'), (2, 'hall'), (2, 'yard');"
                                             "CREATE VIEW titles AS SELECT string_agg(title, ',' ORDER BY title) FROM sheets;"),
                 QStringList());
        configuration += "  " + key.toUtf8() + ": \"" + cluster.url("e2e_" + key).toUtf8() + "\"\n";
    }
    installation.configure(configuration + (linked == "backup_root" ? "  backup_root: " + installation.backups.toUtf8() + '\n' : ""));
    // Left out of the backup, and left in place by the restore.
    QVERIFY(writeFile(installation.media + "/.hidden", "not backed up\n") && QFile::link("images/quay.png", installation.media + "/shortcut"));
    const QString path = linked == "main.db" ? installation.mainDb : linked == "media" ? installation.media : linked == "installation" ? installation.root : installation.backups;
    const QString elsewhere = installation.dir.filePath("elsewhere/" + linked);
    QVERIFY(linked.isEmpty() || (QDir().mkpath(installation.backups) && QDir().mkpath(installation.dir.filePath("elsewhere")) && QDir().rename(path, elsewhere)
                                 && QFile::link(elsewhere, path) && QProcess::execute("chown", {"-R", "nobody", elsewhere}) == 0 && setMode(elsewhere, linked == "main.db" ? 0640 : 0755)));
    const auto data = [&] {
        QStringList rows; // of the databases that the configuration names
        if (!postgres.contains("db"))
            rows += sqlite(installation.mainDb, {"SELECT * FROM projects"});
        if (!postgres.contains("reporting_db"))
            rows += sqlite(installation.reportingDb, {"SELECT * FROM sessions"});
        for (const QString& key : postgres)
            rows += cluster.query("e2e_" + key, "SELECT p.id, p.name, s.title FROM projects p JOIN sheets s ON s.project = p.id ORDER BY 1, 3")
                    + cluster.query("e2e_" + key, "SELECT * FROM titles");
        return rows;
    };
    const QStringList dataBefore = data();
    const QMap<QString, QByteArray> mediaBefore = snapshot(installation.media + '/');

    // Skip items are matched whole: none of these skips anything, and each is warned about.
    const QStringList skip{"--backup-skip", " db,DB,,Reporting"};
    const ToolRun backup = installation.run(QStringList{"--backup"} + (linked == "backup_root" ? skip : QStringList{"--backup-path", installation.backups} + skip));
    const QString made = installation.backups + (linked == "backup_root" ? '/' + names(installation.backups).value(0) : ""); // named as given
    QStringList warnings;
    for (const char* entry : {" db", "DB", "Reporting"})
        warnings << QString("[warning] Ignoring unknown component %1 in --backup-skip (the components are db, reporting, assets)").arg(entry);
    QCOMPARE(backup.lines, warnings + installation.expect("Creating", {"[warning] 2 entries of the media library were left out (hidden names, symbolic "
                                                                       "links or special files), such as {S}media/.hidden",
                                                                       "[info] Created a backup of Vellacor data in " + made}));
    QCOMPARE(backup.exitCode, 0);
    QCOMPARE(names(made), QStringList({"assets", "bw-vellacor-backup-metadata.json", postgres.contains("db") ? "db_dump.sql" : "db_dump.db",
                                       postgres.contains("reporting_db") ? "reporting_dump.sql" : "reporting_dump.db"}));
    if (postgres.isEmpty())
        QCOMPARE(sqlite(made + "/db_dump.db", {"SELECT * FROM projects"}), sqlite(installation.mainDb, {"SELECT * FROM projects"}));
    const QByteArray metadata = readFile(made + "/bw-vellacor-backup-metadata.json");
    QVERIFY2(QRegularExpression(R"re(^\{"assets":\{"file":"assets"\},"backup-time":"\w{3} \w{3} \d{1,2} \d\d:\d\d:\d\d \d{4}",)re"
                                R"re("db":\{"file":"db_dump\.(db|sql)"\},"reporting":\{"file":"reporting_dump\.(db|sql)"\},"version":"1\.0\.0"\}$)re")
                 .match(metadata).hasMatch(), metadata.constData());

    sqlite(installation.mainDb, {"DELETE FROM projects WHERE id = 1"});
    sqlite(installation.reportingDb, {"DROP TABLE sessions"});
    for (const QString& key : postgres)
        QCOMPARE(cluster.query("e2e_" + key, "DELETE FROM sheets; CREATE TABLE later (y int);"), QStringList());
    QVERIFY(QFile::remove(installation.media + "/images/quay.png"));
    QVERIFY(writeFile(installation.media + "/new/after-backup.txt", "new\n"));

    const ToolRun restore = installation.run({"--restore", "--backup-path", made + '/'});
    QCOMPARE(restore.lines, installation.expect("Restoring", {"[info] Restored a backup of Vellacor data from " + made + '/'}));
    QCOMPARE(restore.exitCode, 0);
    QCOMPARE(data(), dataBefore);
    QCOMPARE(snapshot(installation.media + '/'), mediaBefore); // the hidden file and the link stayed in place
    for (const QString& key : postgres)
        QCOMPARE(cluster.query("e2e_" + key, "SELECT count(*) FROM pg_tables WHERE tablename = 'later'"), QStringList{"0"});
    // A link stays, and run as root the restore keeps the owners of what the links name.
    QVERIFY(linked.isEmpty() || QFileInfo(path).isSymLink());
    QDirIterator restored(installation.dir.filePath("elsewhere"), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while ((linked == "media" || linked == "main.db") && restored.hasNext())
        QVERIFY2(QFileInfo(restored.next()).ownerId() == 65534, qPrintable(restored.filePath()));
    QVERIFY(linked != "main.db" || QFileInfo(elsewhere).permissions().testFlag(QFile::ReadGroup)); // 0640 kept
}

void tst_EndToEnd::defaultFolderUnderBackupRoot()
{
    Installation installation;
    installation.configure("  backup_root: ../../backups\n");
    // A night that fails leaves no folder behind.
    QCOMPARE(installation.run({"--backup", "--backup-skip", "db,reporting,assets"}).exitCode, 2);
    QCOMPARE(names(installation.backups), QStringList());
    // What killed nights left: a complete backup that never reached its folder, and a copy cut short.
    const QString complete = installation.backups + "/1_2020_01_01_1.0.0_vellacor-backup", cut = installation.backups + "/2_2020_01_02_1.0.0_vellacor-backup";
    QCOMPARE(installation.run({"--backup", "--backup-path", complete + "/vellacor-backup-tmp.x"}).exitCode, 0);
    QVERIFY(writeFile(cut + "/vellacor-backup-tmp.y/assets/half", "cut"));

    const ToolRun run = installation.run({"--backup"});
    QCOMPARE(run.exitCode, 0);
    const QStringList made = names(installation.backups).filter(QRegularExpression("^(?!1_)"));
    QCOMPARE(made.size(), 1);
    const QRegularExpressionMatch match = QRegularExpression(R"(^(\d{13})_(\d{4}_\d\d_\d\d)_1\.0\.0_vellacor-backup$)").match(made.first());
    QVERIFY2(match.hasMatch(), qPrintable(made.first()));
    // Milliseconds and date from one reading of the clock.
    QCOMPARE(QDateTime::fromMSecsSinceEpoch(match.captured(1).toLongLong()).toString("yyyy_MM_dd"), match.captured(2));
    QCOMPARE(run.lines, installation.expect("Creating", {"[info] Completed the backup left unfinished in " + complete,
                                                         "[info] Removed temporary folder " + cut + "/vellacor-backup-tmp.y left by an interrupted backup",
                                                         "[info] Linked 2 unchanged media files from the earlier backup in " + complete + "/assets, copied 0",
                                                         "[info] Created a backup of Vellacor data in {P}/" + made.first()}));
    QCOMPARE(names(installation.backups), QStringList({made.first(), QFileInfo(complete).fileName()})); // the emptied folder went
    QCOMPARE(names(complete), QStringList({"assets", "bw-vellacor-backup-metadata.json", "db_dump.db", "reporting_dump.db"}));
}

void tst_EndToEnd::editorSuspendedDuringBackup_data()
{
    QTest::addColumn<bool>("listening");
    QTest::addColumn<QList<QByteArray>>("answer"); // empty: the server hangs up
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArray>("received");

    const QString suspending = "[info] Suspending Vellacor Editor";
    const QString resuming = "[info] Resuming Vellacor Editor";
    const QByteArray start = "{\"msg\" : \"start-backup\"}\n"; // 25 bytes
    const QByteArray finish = "{\"msg\" : \"finish-backup\"}\n"; // 26 bytes
    // clang-format off
    QTest::newRow("nothing listening") << false << QList<QByteArray>() << QStringList() << QByteArray();
    QTest::newRow("answer at once") << true << QList<QByteArray>{"{\"msg\" : \"server-suspended\"}\n"}
                                    << QStringList{suspending, resuming} << start + finish;
    QTest::newRow("other line first, answer in pieces") << true << QList<QByteArray>{"{\"msg\" : \"ack\"}\n{\"msg\" : \"server-", "susp", "ended\"}\n"}
                                                        << QStringList{suspending, resuming} << start + finish;
    QTest::newRow("answer among other lines of one write") << true << QList<QByteArray>{"ack\nx server-suspended y\nlater\n"}
                                                           << QStringList{suspending, resuming} << start + finish;
    QTest::newRow("hang-up instead of an answer") << true << QList<QByteArray>() << QStringList{suspending} << start;
    // clang-format on
}

void tst_EndToEnd::editorSuspendedDuringBackup()
{
    QFETCH(bool, listening);
    QFETCH(QList<QByteArray>, answer);
    QFETCH(QStringList, lines);
    QFETCH(QByteArray, received);
    Installation installation;
    std::unique_ptr<FakeControlServer> server;
    if (listening) {
        server = std::make_unique<FakeControlServer>(answer);
        installation.port = server->port();
        installation.configure();
    }
    const ToolRun run = installation.run({"--backup", "--backup-path", installation.backups});
    QCOMPARE(run.lines, installation.expect("Creating", lines << "[info] Created a backup of Vellacor data in {P}"));
    QCOMPARE(run.exitCode, 0);
    if (server)
        QTRY_COMPARE_WITH_TIMEOUT(server->received(), received, 5000);
}

void tst_EndToEnd::failures_data()
{
    // Each row starts from an installation with a backup in {P} (and a foreign file beside it).
    // In arguments and lines: {P} the backup, {R} the installation root, {S} its server folder.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QStringList>("lines"); // a line ending in "…" goes on with PostgreSQL's own text
    QTest::addColumn<int>("status");

    const QString creating = "[info] Creating a backup of Vellacor data";
    const QString restoring = "[info] Restoring a backup of Vellacor data";
    const QString reading = "[info] Reading server configuration from {S}production.yaml";
    const QString notRead = "[error] Failed to read Vellacor server configuration from ";
    const QString backupFailed = "[error] Vellacor backup process failed.";
    const QString failed = "[error] Vellacor restore process failed.";
    const QString load = "[error] Failed to load Vellacor backup data from {P}";
    const QString newer = "[error] Backup is from a newer version of Vellacor, found backup version %1 but current Vellacor version is 1.0.0";
    const QStringList noPath{"[error] --backup-path argument is required with --restore."};
    const QString unknown = "[warning] Ignoring unknown %1";
    const QString components = " (the components are db, reporting, assets)";
    // clang-format off
    QTest::newRow("restore, path missing at the end") << "" << "--restore --backup-path" << noPath << 1;
    QTest::newRow("installation missing") << "no installation" << "--backup"
        << QStringList{creating, "[error] Failed to find Vellacor installation: installation folder {R} does not exist", backupFailed} << 2;
    QTest::newRow("installation is a file") << "root is a file" << "--restore --backup-path {P}"
        << QStringList{restoring, "[error] Failed to find Vellacor installation: installation folder {R} is not a folder", failed} << 2;
    QTest::newRow("configuration missing, stray words") << "no configuration" << "now --backup please --delete=yes"
        << QStringList{unknown.arg("argument now"), unknown.arg("argument please"), unknown.arg("argument --delete=yes"), creating, notRead + "{S}production.yaml", backupFailed} << 2;
    QTest::newRow("named configuration a folder, last one wins") << "" << "--backup --server-config=/x --server-config {R}"
        << QStringList{creating, notRead + "{R}", backupFailed} << 2;
    QTest::newRow("configuration unreadable, as nobody") << "locked configuration" << "--restore --backup-path={P}"
        << QStringList{restoring, notRead + "{S}production.yaml", failed} << 2;
    QTest::newRow("earlier backup without --delete") << "" << "--backup --backup-path {P}"
        << QStringList{creating, reading, "[error] Backup path {P} contains data with conflicting names. Please remove existing data or enable --delete to allow backup process to delete folder contents.", backupFailed} << 2;
    QTest::newRow("media library missing, a dry run fails the same") << "no media" << "--backup --delete --backup-path {P} --dry-run"
        << QStringList{creating, reading, "[error] File {S}media does not exist.", backupFailed} << 2;
    const QString dryRun = "[info] Dry run: ";
    QTest::newRow("dry run of a backup: no folder, no editor suspended") << "server" << "--backup --dry-run --backup-path {P}/new/next"
        << QStringList{creating, reading, dryRun + "would back up db from {S}data/main.db (…", dryRun + "would back up reporting from {S}data/reporting.db (…",
                       dryRun + "would back up assets from {S}media (70.01 KB)", dryRun + "would write the backup to {P}/new/next", dryRun + "nothing was changed"} << 0;
    QTest::newRow("dry run of a restore") << "" << "--restore --dry-run --backup-path {P} --restore-skip reporting"
        << QStringList{restoring, reading, "[info] Skipping reporting database in restore.", dryRun + "would restore db from {P}/db_dump.db to {S}data/main.db",
                       dryRun + "would restore assets from {P}/assets to {S}media", dryRun + "nothing was changed"} << 0;
    QTest::newRow("pg_dump fails") << "configuration:  reporting_db: postgres://nobody@127.0.0.1:1/x" << "--backup --delete --backup-path {P} --backup-skip db"
        << QStringList{creating, reading, "[info] Skipping main database in backup.", "[error] There were errors when running pg_dump: …", "…", "",
                       "[error] Failed to backup database postgres://nobody@127.0.0.1:1/x at {P}/vellacor-backup-tmp…", backupFailed} << 2;
    QTest::newRow("every component skipped") << "" << "--backup --delete --backup-path {P} --backup-skip assets,reporting,db"
        << QStringList{creating, reading, "[info] Skipping main database in backup.", "[info] Skipping reporting database in backup.",
                       "[info] Skipping media library in backup.", "[error] No components selected for backup.", backupFailed} << 2;
    QTest::newRow("backup path is a file") << "" << "--backup --backup-path {P}/db_dump.db"
        << QStringList{creating, reading, "[error] Failed to create a backup folder {P}/db_dump.db", backupFailed} << 2;
    QTest::newRow("backup folder not writable, as nobody") << "" << "--backup --delete --backup-path {P}"
        << QStringList{creating, reading, "[error] User does not have permission to write to {P}", backupFailed} << 2;
    QTest::newRow("server running") << "server" << "--restore --backup-path {P}"
        << QStringList{restoring, reading, "[error] Vellacor server is running, please shut down Vellacor server and client before restoring a backup", failed} << 2;
    QTest::newRow("backup path missing") << "" << "--restore --backup-path {P}/none"
        << QStringList{restoring, reading, "[error] Backup path {P}/none does not exist.", failed} << 2;
    QTest::newRow("backup not readable, as nobody") << "locked backup" << "--restore --backup-path {P}"
        << QStringList{restoring, reading, "[error] Backup path {P} is not readable.", failed} << 2;
    QTest::newRow("metadata empty") << "metadata:" << "--restore --backup-path {P}"
        << QStringList{restoring, reading, "[error] Error in reading JSON data from {P}/bw-vellacor-backup-metadata.json : illegal value", load, failed} << 2;
    QTest::newRow("metadata an array") << R"(metadata:["1.0.0"])" << "--restore --backup-path {P}"
        << QStringList{restoring, reading, "[error] Failed to parse backup version from metadata.", load, failed} << 2;
    QTest::newRow("newer version past an int, all skipped") << R"(metadata:{"version":"1.0.99999999999"})" << "--restore --backup-path {P} --restore-skip db,reporting,assets"
        << QStringList{restoring, reading, newer.arg("1.0.99999999999"), load, failed} << 2;
    QTest::newRow("100 MB of JSON") << "huge" << "--restore --backup-path {P}" << QStringList{restoring, reading, newer.arg("7.1"), load, failed} << 2;
    QTest::newRow("entry climbing out") << R"(metadata:{"version":"1.0.0","db":{"file":"../b/db_dump.db"}})" << "--restore --backup-path {P}"
        << QStringList{restoring, reading, "[error] Invalid entry ../b/db_dump.db for component db in backup metadata.", load, failed} << 2;
    QTest::newRow("component of the wrong type") << R"(metadata:{"version":"0.9","reporting":"x.db","db":null})" << "--restore --backup-path {P}"
        << QStringList{restoring, reading, "[info] Backup doesn't contain main database.",
                       "[error] Invalid entry  for component reporting in backup metadata.", load, failed} << 2;
    QTest::newRow("reporting check fails after db passed")
        << R"(metadata:{"version":"0.9","db":{"file":"db_dump.db"},"reporting":{"file":"reporting_dump.sql"}})" << "--restore --backup-path {P}"
        << QStringList{restoring, reading, "[error] Backup database is not compatible. Backup is postgres, but target database sqlite://data/reporting.db is sqlite", load, failed} << 2;
    QTest::newRow("nothing selected") << R"(metadata:{"version":"1.0.0"})" << "--restore --backup-path {P} --restore-skip Db,REPORTING,,dbx,assets"
        << QStringList{unknown.arg("component Db in --restore-skip" + components), unknown.arg("component REPORTING in --restore-skip" + components),
                       unknown.arg("component dbx in --restore-skip" + components), restoring, reading, "[info] Backup doesn't contain main database.", "[info] Backup doesn't contain reporting database.",
                       "[info] Skipping media library in restore.", "[error] No components selected for restore.", failed} << 2;
    QTest::newRow("restore stops at the first failure, and says why") << "reporting database a folder" << "--restore --backup-path {P}"
        << QStringList{restoring, reading, "[error] {S}data/reporting.db: Is a directory", "[error] Failed to remove exiting database {S}data/reporting.db", failed} << 2;
    const QString linked = "[info] Linked 2 unchanged media files from the earlier backup in {P}/assets, copied 0";
    QTest::newRow("pg_dump writes half a dump, exit 0") << "half dump" << "--backup --delete --backup-path {P} --backup-skip db"
        << QStringList{creating, reading, "[info] Skipping main database in backup.", linked, "[error] Backup check failed for {P}/vellacor-backup-tmp…", backupFailed} << 2;
    QTest::newRow("earlier entry that cannot be moved aside, as nobody: the others move back") << "sticky" << "--backup --delete --backup-path {P}"
        << QStringList{creating, reading, linked, "[error] {P}/reporting_dump.db: Operation not permitted", "[error] Failed to remove existing data in {P}", backupFailed} << 2;
    QTest::newRow("dangling link named like an entry") << "link:db_dump.db->{D}/elsewhere" << "--backup --delete --backup-path {P}"
        << QStringList{creating, reading, linked, "[error] Failed to move {P}/vellacor-backup-tmp…", "[error] Failed to move temporary backup data from {P}/vellacor-backup-tmp…", backupFailed} << 2;
    for (const char* entry : {"bw-vellacor-backup-metadata.json", "db_dump.db", "assets"})
        QTest::newRow(qPrintable(QString("restore refuses a link named %1").arg(entry))) << QString("link:%1->{D}/elsewhere").arg(entry) << "--restore --backup-path {P}"
            << QStringList{restoring, reading, QString("[error] Backup check failed for {P}/%1: it is a symbolic link").arg(entry), load, failed} << 2;
    const QString refusing = "[error] Refusing to use %1 as the media library: %2";
    QTest::newRow("asset_root missing") << "configuration:  asset_root:" << "--backup --delete --backup-path {P}"
        << QStringList{creating, reading, refusing.arg("{R}/server/", "no asset_root is configured"), backupFailed} << 2;
    QTest::newRow("asset_root the installation") << "configuration:  asset_root: .." << "--backup --delete --backup-path {P}"
        << QStringList{creating, reading, refusing.arg("{R}", "it is the installation folder"), backupFailed} << 2;
    QTest::newRow("asset_root a parent of the installation, restore") << "configuration:  asset_root: ../.." << "--restore --backup-path {P}"
        << QStringList{restoring, reading, refusing.arg("{D}", "it holds the installation folder"), load, failed} << 2;
    QTest::newRow("asset_root holds a database") << "configuration:  asset_root: data/" << "--backup --delete --backup-path {P}"
        << QStringList{creating, reading, refusing.arg("{S}data/", "it holds the database {S}data/main.db"), backupFailed} << 2;
    QTest::newRow("asset_root /, restore") << "configuration:  asset_root: /" << "--restore --backup-path {P}"
        << QStringList{restoring, reading, refusing.arg("/", "it is the root folder"), load, failed} << 2;
    // clang-format on
}

void tst_EndToEnd::failures()
{
    QFETCH(QString, setup);
    QFETCH(QString, arguments);
    QFETCH(QStringList, lines);
    QFETCH(int, status);
    Installation installation;
    QVERIFY(setMode(installation.dir.path(), 0755)); // nobody may look in
    QCOMPARE(installation.run({"--backup", "--backup-path", installation.backups}).exitCode, 0);
    QVERIFY(writeFile(installation.backups + "/notes.txt", "foreign content\n"));
    const QString metadata = installation.backups + "/bw-vellacor-backup-metadata.json";
    std::unique_ptr<FakeControlServer> server;
    if (setup == "server") {
        server = std::make_unique<FakeControlServer>(QList<QByteArray>{"server-suspended\n"});
        installation.port = server->port();
        installation.configure();
    } else if (setup == "huge") {
        QByteArray text = R"({"padding":[)";
        while (text.size() < 100 * 1000 * 1000)
            text += R"({"file":"assets","note":"a text that nothing reads"},)";
        QVERIFY(writeFile(metadata, text + R"(0],"version":"7.1"})"));
    }
    QVERIFY(setup != "no installation" || QDir(installation.root).removeRecursively());
    QVERIFY(setup != "root is a file" || (QDir(installation.root).removeRecursively() && writeFile(installation.root, "")));
    QVERIFY(setup != "no configuration" || QFile::remove(installation.server + "production.yaml"));
    QVERIFY(setup != "locked configuration" || setMode(installation.server + "production.yaml", 0600));
    QVERIFY(setup != "locked backup" || setMode(installation.backups, 0700));
    // In a folder that all may write to, only its owner may move an entry: nobody's, but one.
    QVERIFY(setup != "sticky" || (QProcess::execute("chown", {"-R", "nobody", installation.backups}) == 0 && setMode(installation.backups, 01777)
                                  && ::chown(QFile::encodeName(installation.backups), 0, 0) == 0 && ::chown(QFile::encodeName(installation.backups + "/reporting_dump.db"), 0, 0) == 0));
    QVERIFY(setup != "no media" || QDir(installation.media).removeRecursively());
    QVERIFY(!setup.startsWith("metadata:") || writeFile(metadata, setup.mid(9).toUtf8()));
    if (setup.startsWith("configuration:"))
        installation.configure(setup.mid(14).toUtf8() + '\n');
    const auto expand = [&](QString text) {
        return text.replace("{P}", installation.backups).replace("{R}", installation.root).replace("{S}", installation.server).replace("{D}", installation.dir.path());
    };
    if (setup.startsWith("link:")) { // in place of the entry; its target is never made
        const QString name = installation.backups + '/' + setup.mid(5).section("->", 0, 0);
        QVERIFY((QFile::remove(name) || QDir(name).removeRecursively()) && QFile::link(expand(setup.section("->", 1)), name));
    }
    QProcessEnvironment environment = installation.environment();
    if (setup == "half dump") { // no completion line, exit code 0
        QVERIFY(writeFile(installation.dir.filePath("bin/pg_dump"), "#!/bin/sh\nprintf -- '--\\n-- PostgreSQL database dump\\n--\\n' > \"$3\"\n"));
        QVERIFY(setMode(installation.dir.filePath("bin/pg_dump"), 0755));
        environment.insert("PATH", installation.dir.filePath("bin") + ':' + environment.value("PATH"));
        installation.configure("  reporting_db: postgres://nobody@127.0.0.1:1/x\n");
    }
    if (setup == "reporting database a folder") { // it cannot be removed as a file
        sqlite(installation.mainDb, {"DELETE FROM projects"});
        QVERIFY(writeFile(installation.media + "/after-backup.txt", "untouched\n"));
        QVERIFY(QFile::remove(installation.reportingDb) && QDir().mkpath(installation.reportingDb + "/occupied"));
    }
    const QMap<QString, QByteArray> before = snapshot(installation.dir.path());

    const QStringList args = expand(arguments).split(' ', Qt::SkipEmptyParts);
    const ToolRun run = QByteArray(QTest::currentDataTag()).contains("nobody") ? runToolAsNobody(args, environment)
                                                                                : runTool(args, environment);
    QCOMPARE(run.lines.size(), lines.size());
    for (int i = 0; i < lines.size(); ++i) {
        const QString expected = expand(lines[i]);
        QVERIFY2(expected.endsWith("…") ? run.lines[i].startsWith(expected.chopped(1)) : run.lines[i] == expected, qPrintable(run.lines[i]));
    }
    QCOMPARE(run.exitCode, status);
    if (setup == "reporting database a folder") { // the main database came first; the media library was not reached
        QCOMPARE(sqlite(installation.mainDb, {"SELECT count(*) FROM projects"}), QStringList{"2|"});
        QVERIFY(QFileInfo::exists(installation.media + "/after-backup.txt"));
    } else {
        QCOMPARE(snapshot(installation.dir.path()), before); // nothing touched, no temporary folder left
    }
    if (server)
        QCOMPARE(server->received(), QByteArray()); // probed, nothing sent
}

void tst_EndToEnd::failingLate_data()
{
    QTest::addColumn<QString>("phase");
    QTest::addColumn<QString>("error"); // the first error line; "…" stands for any text
    QTest::newRow("full volume: check") << "check" << "[error] Not enough space available at {P}/vellacor-backup-tmp…";
    QTest::newRow("full volume: database dump") << "dump" << "[error] SQLite could not back up {S}data/main.db: …";
    // 300 files of 10 bytes pass the check, but each takes a page on the volume.
    QTest::newRow("full volume: media copy") << "copy" << "[error] {P}/vellacor-backup-tmp…/assets/many/…: No space left on device";
    // A file of the kernel's, empty by its size, holds text when read: as a file that grew while it was copied.
    QTest::newRow("file changed during the copy")
        << "changing" << "[error] Backup check failed for {P}/vellacor-backup-tmp…/assets/changing: the copy holds … bytes, "
                         "but the file held 0 when it was opened (it changed during the copy)";
}

void tst_EndToEnd::failingLate()
{
    QFETCH(QString, phase);
    QFETCH(QString, error);
    // A 512 KiB volume, private to one run, as the backup folder.
    Installation installation;
    if (phase == "check")
        QVERIFY(writeFile(installation.media + "/video.bin", QByteArray(600 * 1024, 'v')));
    if (phase == "dump")
        sqlite(installation.mainDb, {"CREATE TABLE blob (b BLOB)", "INSERT INTO blob VALUES (randomblob(600 * 1024))"});
    for (int i = 0; phase == "copy" && i < 300; ++i)
        QVERIFY(writeFile(installation.media + QString("/many/%1").arg(i), "ten bytes."));
    QVERIFY(phase != "changing" || writeFile(installation.media + "/changing", ""));
    QVERIFY(QDir().mkpath(installation.backups));
    QProcess shell;
    shell.setProcessEnvironment(installation.environment());
    shell.start("unshare", {"-m", "sh", "-c", "mount --make-rprivate / && mount -t tmpfs -o size=512k tmpfs \"$1\" && "
                                              "{ [ ! -e \"$3\" ] || mount --bind /proc/version \"$3\"; } && "
                                              "\"$2\" --backup --backup-path \"$1\"; echo \"status $?\"; ls -A \"$1\"",
                            "sh", installation.backups, BWV_TOOL_PATH, installation.media + "/changing"});
    QVERIFY(shell.waitForFinished(60000));
    const QString errors = shell.readAllStandardError();
    const QStringList parts = error.replace("{P}", installation.backups).replace("{S}", installation.server).split("…");
    QStringList escaped;
    for (const QString& part : parts)
        escaped << QRegularExpression::escape(part);
    QVERIFY2(errors.contains(QRegularExpression(escaped.join("[^\n]*"))), qPrintable(errors));
    QCOMPARE(QString(shell.readAllStandardOutput()), "status 2\n"); // and nothing left on the volume
}

void tst_EndToEnd::stoppedAndConcurrentBackups()
{
    Installation installation;
    QCOMPARE(installation.run({"--backup", "--backup-path", installation.backups}).exitCode, 0);
    const QMap<QString, QByteArray> earlier = snapshot(installation.backups);
    FakeControlServer silent({"ack\n"}); // never "server-suspended"
    installation.port = silent.port();
    installation.configure();
    const QStringList backup{"--backup", "--delete", "--backup-path", installation.backups};
    const auto start = [&](QProcess& process, int startsBefore) {
        process.setProcessEnvironment(installation.environment());
        process.start(BWV_TOOL_PATH, backup);
        return waitFor([&] { return silent.received().count("start-backup") > startsBefore; });
    };
    const QString failed = "[error] Vellacor backup process failed.";

    // While one backup waits for the server, its temporary folder stays locked and a second
    // backup is refused; SIGTERM ends the wait.
    QProcess waiting;
    QVERIFY(start(waiting, 0));
    const QStringList working = QDir(installation.backups).entryList({"vellacor-backup-tmp*"}, QDir::Dirs);
    Sys::FolderLock probe;
    QVERIFY(working.size() == 1 && !probe.tryLock(installation.backups + '/' + working.first()) && errno == EWOULDBLOCK);
    const ToolRun second = installation.run(backup);
    QCOMPARE(second.lines, installation.expect("Creating", {"[error] Another bw-vellacor-ctl process is working on " + installation.root, failed}));
    QCOMPARE(second.exitCode, 2);
    ::kill(waiting.processId(), SIGTERM);
    const ToolRun stopped = finishTool(waiting);
    QCOMPARE(stopped.lines, installation.expect("Creating", {"[info] Suspending Vellacor Editor", "[error] Interrupted by signal SIGTERM.", failed,
                                                             "[info] Resuming Vellacor Editor"}));
    QCOMPARE(stopped.exitCode, 2);
    QVERIFY(silent.received().endsWith("{\"msg\" : \"finish-backup\"}\n"));
    QCOMPARE(snapshot(installation.backups), earlier); // no temporary folder, the earlier backup as it was

    // SIGKILL leaves the temporary folder behind; the next backup removes it.
    QProcess killed;
    QVERIFY(start(killed, 1));
    ::kill(killed.processId(), SIGKILL);
    QVERIFY(killed.waitForFinished(10000));
    const QStringList leftovers = QDir(installation.backups).entryList({"vellacor-backup-tmp*"}, QDir::Dirs);
    QCOMPARE(leftovers.size(), 1);
    installation.port = 0; // as good as no server
    installation.configure();
    QVERIFY(QFile::rename(installation.backups + "/reporting_dump.db", installation.backups + "/Reporting_Dump.DB")); // still the earlier backup's
    QCOMPARE(installation.run(backup).lines,
             installation.expect("Creating", {"[info] Removed temporary folder {P}/" + leftovers.first() + " left by an interrupted backup",
                                              "[info] Linked 2 unchanged media files from the earlier backup in {P}/assets, copied 0",
                                              "[info] Created a backup of Vellacor data in {P}"}));
    QCOMPARE(names(installation.backups), QStringList({"assets", "bw-vellacor-backup-metadata.json", "db_dump.db", "reporting_dump.db"}));

    // SIGINT during a large media copy.
    const QMap<QString, QByteArray> complete = snapshot(installation.backups);
    for (int i = 0; i < 5000; ++i)
        QVERIFY(writeFile(installation.media + QString("/bulk/%1/%2.bin").arg(i % 50).arg(i), QByteArray(1024, 'b')));
    QProcess copying;
    copying.setProcessEnvironment(installation.environment());
    copying.start(BWV_TOOL_PATH, backup);
    QVERIFY(waitFor([&] {
        const QStringList work = QDir(installation.backups).entryList({"vellacor-backup-tmp*"}, QDir::Dirs);
        return !work.isEmpty() && QFileInfo::exists(installation.backups + '/' + work.first() + "/assets/bulk/0");
    }));
    ::kill(copying.processId(), SIGINT);
    const ToolRun interrupted = finishTool(copying);
    QCOMPARE(interrupted.lines, installation.expect("Creating", {"[error] Interrupted by signal SIGINT.", failed}));
    QCOMPARE(snapshot(installation.backups), complete);
}

void tst_EndToEnd::restoreFinishesComponentOnSignal()
{
    Installation installation;
    TestCluster cluster;
    QVERIFY2(cluster.load(), "no test cluster: run the tests through ctest");
    QVERIFY(cluster.createDatabase("e2e_stop"));
    QCOMPARE(cluster.query("e2e_stop", "CREATE TABLE t (x int); INSERT INTO t VALUES (1), (2);"), QStringList());
    installation.configure("  db: " + cluster.url("e2e_stop").toUtf8() + "\n");
    QCOMPARE(installation.run({"--backup", "--backup-path", installation.backups}).exitCode, 0);
    QCOMPARE(cluster.query("e2e_stop", "DELETE FROM t"), QStringList());
    QVERIFY(writeFile(installation.media + "/after-backup.txt", "untouched\n"));

    // A psql that takes a second to start its load, and says when it began.
    const QString fake = installation.dir.filePath("bin/psql");
    QVERIFY(writeFile(fake, "#!/bin/sh\n[ \"$1\" = --version ] && exec /usr/bin/psql --version\n"
                            "touch \"$0.started\"; sleep 1; exec /usr/bin/psql \"$@\"\n") && setMode(fake, 0755));
    QProcessEnvironment environment = installation.environment();
    environment.insert("PATH", installation.dir.filePath("bin") + ':' + environment.value("PATH"));
    QProcess restore;
    restore.setProcessEnvironment(environment);
    restore.start(BWV_TOOL_PATH, {"--restore", "--backup-path", installation.backups});
    QVERIFY(waitFor([&] { return QFileInfo::exists(fake + ".started"); }));
    ::kill(restore.processId(), SIGINT);
    const ToolRun run = finishTool(restore);
    QCOMPARE(run.lines, installation.expect("Restoring", {"[error] Interrupted by signal SIGINT.", "[error] Vellacor restore process failed."}));
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(cluster.query("e2e_stop", "SELECT x FROM t ORDER BY x"), QStringList({"1", "2"})); // the database finished
    QVERIFY(QFileInfo::exists(installation.media + "/after-backup.txt")); // the media library was not begun
}

void tst_EndToEnd::progressOnATerminal()
{
    // A pg_dump that takes a second and a half, under a pseudo-terminal made by script(1).
    Installation installation;
    installation.configure("  reporting_db: postgres://nobody@127.0.0.1:1/x\n");
    QVERIFY(writeFile(installation.dir.filePath("bin/pg_dump"), "#!/bin/sh\nfor i in 1 2 3 4 5 6; do head -c 100000 /dev/zero >> \"$3\"; sleep 0.25; done\n"
                                                                  "echo '-- PostgreSQL database dump complete' >> \"$3\"\n"));
    QVERIFY(setMode(installation.dir.filePath("bin/pg_dump"), 0755));
    QProcessEnvironment environment = installation.environment();
    environment.insert("PATH", installation.dir.filePath("bin") + ':' + environment.value("PATH"));
    QProcess script; // script(1) gives the tool a terminal and copies what it shows to standard output
    script.setProcessEnvironment(environment);
    script.start("script", {"-qec", QString("'%1' --backup --backup-path '%2'").arg(BWV_TOOL_PATH, installation.backups), "/dev/null"});
    QVERIFY(script.waitForFinished(60000));
    const QString shown = script.readAllStandardOutput();
    // Redrawn in place, then erased before the next log line; the log lines themselves unchanged.
    QVERIFY2(shown.count(QRegularExpression("\r\x1b\\[Kpg_dump: [0-9.]+ KB written, ")) >= 2, qPrintable(shown));
    QVERIFY2(shown.contains(QRegularExpression("KB/s, 0:0\\d\r\x1b\\[K\\d{4}-\\d\\d-\\d\\d [0-9:.]+ \\[info\\] Created a backup")), qPrintable(shown));
}

QTEST_GUILESS_MAIN(tst_EndToEnd)
#include "tst_end_to_end.moc"
