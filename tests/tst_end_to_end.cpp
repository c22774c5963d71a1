// The built tool as an administrator runs it: the command line, and backup and restore on real
// installations, with a scripted control server, as nobody and on a full volume.
#include "sys/files.h"
#include "tests/support/support.h"

#include <QtTest>

#include <cerrno>
#include <csignal>
#include <memory>

class tst_EndToEnd : public QObject {
    Q_OBJECT

private slots:
    void usage_data();
    void usage();
    void roundTrip_data();
    void roundTrip();
    void defaultFolderUnderBackupRoot();
    void runs_data();
    void runs();
    void stoppedAndConcurrentRuns();
    void progressOnATerminal();
};

void tst_EndToEnd::usage_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QByteArray>("after"); // what follows the usage text
    QTest::addColumn<int>("status");
    const QByteArray both = "Cannot define both --backup and --restore, choose one please.\n";
    QTest::newRow("help wins over both commands") << "--backup --restore --help" << QByteArray() << 0;
    QTest::newRow("both commands, stray words") << "now --restore x --backup" << both << 1;
    QTest::newRow("options without a command") << "--backup-path /srv/b --delete backup" << QByteArray() << 1;
}

void tst_EndToEnd::usage()
{
    QFETCH(QString, arguments);
    QFETCH(QByteArray, after);
    QFETCH(int, status);
    // Started as "./bw-vellacor-ctl", so that argv[0] shows as given.
    const ToolRun run = runTool(arguments.split(' '), QProcessEnvironment::systemEnvironment(),
                                QFileInfo(BWV_TOOL_PATH).path(), "./bw-vellacor-ctl");
    // The text itself is the usage table's: its first lines show argv[0] as given, its last ends
    // the restore options, and what follows it comes right after.
    const QByteArray& text = run.standardError;
    QVERIFY2(text.startsWith("BW Vellacor control tool\nUsage:  ./bw-vellacor-ctl  <command> <options>\n--help"), text);
    QVERIFY2(text.endsWith("assets - The contents of Vellacor media library\n" + after), text);
    QCOMPARE(run.exitCode, status);
}

void tst_EndToEnd::roundTrip_data()
{
    QTest::addColumn<QStringList>("postgres"); // components kept in PostgreSQL
    QTest::addColumn<QString>("linked"); // a path made a link to what it named, which nobody owns
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
    QByteArray configuration = linked == "backup_root" ? "backup_root: " + installation.backups.toUtf8() + '\n' : "";
    // In the main database pg_dump and psql spend seconds on large objects, moving all the time,
    // and the build of the partial index sleeps half a second without reading a byte of the dump:
    // the server's own programs (no wrapper to start) get 300 ms without progress.
    const QString slow = "CREATE TABLE docs AS SELECT g AS id, lo_from_bytea(0, convert_to(repeat(md5(g::text), 1024),"
                         " 'UTF8')) AS body FROM generate_series(1, 600) g; ALTER TABLE docs ADD PRIMARY KEY (id);"
                         "CREATE FUNCTION slow(x int) RETURNS int IMMUTABLE LANGUAGE plpgsql"
                         " AS 'BEGIN PERFORM pg_sleep(0.01); RETURN x; END';"
                         "CREATE INDEX docs_slow ON docs (slow(id)) WHERE id <= 50;";
    for (const QString& key : postgres) {
        QVERIFY(cluster.createDatabase("e2e_" + key));
        const QString tables = "CREATE TABLE projects (id serial PRIMARY KEY, name text);"
                               "CREATE TABLE sheets (project int REFERENCES projects(id), title text);"
                               "INSERT INTO projects (name) VALUES ('harbour'), ('plant');"
                               "INSERT INTO sheets VALUES (1, 'quay'), (2, 'hall'), (2, 'yard');"
                               "CREATE VIEW titles AS SELECT string_agg(title, ',' ORDER BY title) FROM sheets;";
        QCOMPARE(cluster.query("e2e_" + key, tables + (key == "db" ? slow : "")), QStringList());
        configuration += key.toUtf8() + ": \"" + cluster.url("e2e_" + key).toUtf8() + "\"\n";
        installation.environment.insert("PATH", cluster.binFolder() + ':' + installation.environment.value("PATH"));
        installation.environment.insert("BW_VELLACOR_TOOL_TIMEOUT_MS", "300");
    }
    installation.configure(configuration);
    // Left out of the backup, and left in place by the restore.
    QVERIFY(writeFile(installation.media + "/.hidden", "not backed up\n"));
    QVERIFY(QFile::link("images/quay.png", installation.media + "/shortcut"));
    const QString path = linked == "main.db"        ? installation.mainDb
                         : linked == "media"        ? installation.media
                         : linked == "installation" ? installation.root
                                                    : installation.backups;
    const QString elsewhere = installation.dir.filePath("elsewhere/" + linked);
    if (!linked.isEmpty()) {
        QVERIFY(QDir().mkpath(installation.dir.filePath("elsewhere")));
        QVERIFY(QDir().rename(path, elsewhere) && QFile::link(elsewhere, path));
        QVERIFY(QProcess::execute("chown", {"-R", "65534:65534", elsewhere}) == 0);
        QVERIFY(setMode(elsewhere, linked == "main.db" ? 0640 : 0755));
    }
    const auto data = [&] { // of the databases that the configuration names; no table added
        const QString objects = "SELECT format('%s %s %s', p.id, p.name, s.title) FROM projects p"
                                " JOIN sheets s ON s.project = p.id UNION ALL SELECT * FROM titles UNION ALL"
                                " SELECT format('%s %s', count(*), sum(length(lo_get(oid))))"
                                " FROM pg_largeobject_metadata UNION ALL"
                                " SELECT string_agg(indexname, ',' ORDER BY indexname) FROM pg_indexes"
                                " UNION ALL SELECT string_agg(tablename, ',' ORDER BY tablename) FROM pg_tables";
        QStringList rows;
        if (postgres.isEmpty())
            rows << sqlite(installation.mainDb, "SELECT * FROM projects")
                 << sqlite(installation.reportingDb, "SELECT * FROM sessions");
        for (const QString& key : postgres)
            rows += cluster.query("e2e_" + key, objects);
        return rows;
    };
    const QStringList dataBefore = data();
    const QStringList mediaBefore = describeTree(installation.media);

    // Skip items are matched whole: none of these skips anything, and each is warned about.
    QStringList backup{"--backup", "--backup-skip", " db,DB,,Reporting"};
    if (linked != "backup_root")
        backup << "--backup-path" << installation.backups;
    const ToolRun run = installation.run(backup);
    // Named as given, or the new folder under the backup root.
    const QString made = linked == "backup_root" ? installation.backups + '/' + names(installation.backups).value(0)
                                                 : installation.backups;
    QStringList lines;
    for (const char* entry : {" db", "DB", "Reporting"})
        lines << QString("[warning] Ignoring unknown component %1 in --backup-skip (the components are db, reporting,"
                         " assets)").arg(entry);
    const QString leftOut = "[warning] 2 entries of the media library were left out (hidden names, symbolic links or"
                            " special files), such as {S}media/.hidden";
    lines += installation.expect("Creating", {leftOut, "[info] Created a backup of Vellacor data in " + made});
    QCOMPARE(run.lines, lines);
    QCOMPARE(run.exitCode, 0);
    const QString dump = postgres.isEmpty() ? "_dump.db" : "_dump.sql";
    QCOMPARE(names(made), QStringList({"assets", "bw-vellacor-backup-metadata.json", "db" + dump, "reporting" + dump}));
    QString metadata = readFile(made + "/bw-vellacor-backup-metadata.json");
    metadata.replace(QRegularExpression(R"("backup-time":"\w{3} \w{3} \d{1,2} \d\d:\d\d:\d\d \d{4}")"), "TIME");
    QCOMPARE(metadata, QString(R"({"assets":{"file":"assets"},TIME,"db":{"file":"db%1"},)"
                               R"("reporting":{"file":"reporting%1"},"version":"1.0.0"})").arg(dump));

    sqlite(installation.mainDb, "DELETE FROM projects WHERE id = 1");
    sqlite(installation.reportingDb, "DROP TABLE sessions");
    for (const QString& key : postgres)
        QCOMPARE(cluster.query("e2e_" + key, "DELETE FROM sheets; CREATE TABLE later (y int);"), QStringList());
    QVERIFY(QFile::remove(installation.media + "/images/quay.png"));
    QVERIFY(writeFile(installation.media + "/new/after-backup.txt", "new\n"));

    const ToolRun restore = installation.run({"--restore", "--backup-path", made + '/'});
    const QString restored = "[info] Restored a backup of Vellacor data from " + made + '/';
    QCOMPARE(restore.lines, installation.expect("Restoring", {restored}));
    QCOMPARE(restore.exitCode, 0);
    QCOMPARE(data(), dataBefore);
    QCOMPARE(describeTree(installation.media), mediaBefore); // the hidden file and the link stayed in place
    // A link stays, and run as root the restore keeps the owners and groups of what the links name.
    QVERIFY(linked.isEmpty() || QFileInfo(path).isSymLink());
    QDirIterator named(QFileInfo(elsewhere).path(), QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (!linked.startsWith("backup") && named.hasNext())
        QVERIFY2(QFileInfo(named.next()).ownerId() == 65534 && named.fileInfo().groupId() == 65534, qPrintable(named.filePath()));
}

void tst_EndToEnd::defaultFolderUnderBackupRoot()
{
    // What killed nights left: a complete backup that never reached its folder, and a copy cut short.
    Installation installation;
    const QString complete = installation.backups + "/1_2020_01_01_1.0.0_vellacor-backup";
    const QString cut = installation.backups + "/2_2020_01_02_1.0.0_vellacor-backup";
    QCOMPARE(installation.run({"--backup", "--backup-path", complete + "/vellacor-backup-tmp.x"}).exitCode, 0);
    QVERIFY(writeFile(cut + "/vellacor-backup-tmp.y/assets/half", "cut"));

    const ToolRun run = installation.run({"--backup"});
    QCOMPARE(run.exitCode, 0);
    const QString made = names(installation.backups).value(0); // digits sort before "_"
    const QRegularExpression name(R"(^(\d{13})_(\d{4}_\d\d_\d\d)_1\.0\.0_vellacor-backup$)");
    const QRegularExpressionMatch match = name.match(made);
    QVERIFY2(match.hasMatch(), qPrintable(made));
    // Milliseconds and date from one reading of the clock.
    QCOMPARE(QDateTime::fromMSecsSinceEpoch(match.captured(1).toLongLong()).toString("yyyy_MM_dd"), match.captured(2));
    QCOMPARE(run.lines, installation.expect("Creating", {
        "[info] Completed the backup left unfinished in " + complete,
        "[info] Removed temporary folder " + cut + "/vellacor-backup-tmp.y left by an interrupted backup",
        "[info] Linked 2 unchanged media files from the earlier backup in " + complete + "/assets, copied 0",
        "[info] Created a backup of Vellacor data in {P}/" + made}));
    QCOMPARE(names(installation.backups), QStringList({made, QFileInfo(complete).fileName()})); // the empty one went
    QCOMPARE(names(complete), QStringList({"assets", "bw-vellacor-backup-metadata.json", "db_dump.db",
                                           "reporting_dump.db"}));
}

void tst_EndToEnd::runs_data()
{
    // Each row starts from an installation with a backup in {P} (and a foreign file beside it),
    // which the row's shell command changes, run in the server folder as Installation::shell; or
    // a control server answers with the pieces after "answer:". In arguments and lines: {P} the
    // backup, {R} the installation root, {S} its server folder, {D} the folder that holds both.
    // A row tagged "nobody" runs as nobody; one tagged "small volume" on a 512 KiB volume over
    // {P}, private to the run, which shows what it holds afterwards.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QStringList>("lines"); // "…" stands for any text: PostgreSQL's own, a temporary name
    QTest::addColumn<int>("status");

    const QString creating = "[info] Creating a backup of Vellacor data";
    const QString restoring = "[info] Restoring a backup of Vellacor data";
    const QString reading = "[info] Reading server configuration from {S}production.yaml";
    const QString notRead = "[error] Failed to read Vellacor server configuration from ";
    const QString backupFailed = "[error] Vellacor backup process failed.";
    const QString failed = "[error] Vellacor restore process failed.";
    const QString load = "[error] Failed to load Vellacor backup data from {P}";
    const QString newer = "[error] Backup is from a newer version of Vellacor, found backup version %1 but current"
                          " Vellacor version is 1.0.0";
    const QStringList noPath{"[error] --backup-path argument is required with --restore."};
    const QString unknown = "[warning] Ignoring unknown %1";
    const QString components = " (the components are db, reporting, assets)";
    const QString configure = "echo '%1' >> production.yaml";
    const QString metadata = "printf '%1' > \"$P/bw-vellacor-backup-metadata.json\"";
    const QString link = R"(rm -r "${P:?}/%1" && ln -s "$D/elsewhere" "$P/%1")"; // to what is never made
    // clang-format off
    QTest::newRow("restore, path missing at the end") << "" << "--restore --backup-path" << noPath << 1;
    QTest::newRow("installation missing") << "rm -r \"${R:?}\"" << "--backup"
        << QStringList{creating, "[error] Failed to find Vellacor installation: installation folder {R} does not exist", backupFailed} << 2;
    QTest::newRow("installation is a file") << "rm -r \"${R:?}\" && touch \"$R\"" << "--restore --backup-path {P}"
        << QStringList{restoring, "[error] Failed to find Vellacor installation: installation folder {R} is not a folder", failed} << 2;
    QTest::newRow("configuration missing, stray words") << "rm production.yaml" << "now --backup please --delete=yes"
        << QStringList{unknown.arg("argument now"), unknown.arg("argument please"), unknown.arg("argument --delete=yes"), creating, notRead + "{S}production.yaml", backupFailed} << 2;
    QTest::newRow("named configuration a folder, last one wins") << "" << "--backup --server-config=/x --server-config {R}"
        << QStringList{creating, notRead + "{R}", backupFailed} << 2;
    QTest::newRow("configuration unreadable, as nobody") << "chmod 600 production.yaml" << "--restore --backup-path={P}"
        << QStringList{restoring, notRead + "{S}production.yaml", failed} << 2;
    QTest::newRow("earlier backup without --delete") << "" << "--backup --backup-path {P}"
        << QStringList{creating, reading, "[error] Backup path {P} contains data with conflicting names. Please remove existing data or enable --delete to allow backup process to delete folder contents.", backupFailed} << 2;
    QTest::newRow("media library missing, a dry run fails the same") << "rm -r media" << "--backup --delete --backup-path {P} --dry-run"
        << QStringList{creating, reading, "[error] File {S}media does not exist.", backupFailed} << 2;
    const QString dryRun = "[info] Dry run: ";
    QTest::newRow("dry run of a backup: no folder, no editor suspended") << "answer:server-suspended\n" << "--backup --dry-run --backup-path {P}/new/next"
        << QStringList{creating, reading, dryRun + "would back up db from {S}data/main.db (…", dryRun + "would back up reporting from {S}data/reporting.db (…",
                       dryRun + "would back up assets from {S}media (70.01 KB)", dryRun + "would write the backup to {P}/new/next", dryRun + "nothing was changed"} << 0;
    QTest::newRow("dry run of a restore") << "" << "--restore --dry-run --backup-path {P} --restore-skip reporting"
        << QStringList{restoring, reading, "[info] Skipping reporting database in restore.", dryRun + "would restore db from {P}/db_dump.db to {S}data/main.db",
                       dryRun + "would restore assets from {P}/assets to {S}media", dryRun + "nothing was changed"} << 0;
    QTest::newRow("pg_dump fails") << configure.arg("reporting_db: postgres://nobody@127.0.0.1:1/x") << "--backup --delete --backup-path {P} --backup-skip db"
        << QStringList{creating, reading, "[info] Skipping main database in backup.", "[error] There were errors when running pg_dump: …", "…", "",
                       "[error] Failed to backup database postgres://nobody@127.0.0.1:1/x at {P}/vellacor-backup-tmp…", backupFailed} << 2;
    QTest::newRow("every component skipped: no default folder left") << "" << "--backup --backup-skip assets,reporting,db"
        << QStringList{creating, reading, "[info] Skipping main database in backup.", "[info] Skipping reporting database in backup.",
                       "[info] Skipping media library in backup.", "[error] No components selected for backup.", backupFailed} << 2;
    QTest::newRow("backup path is a file") << "" << "--backup --backup-path {P}/db_dump.db"
        << QStringList{creating, reading, "[error] Failed to create a backup folder {P}/db_dump.db", backupFailed} << 2;
    QTest::newRow("backup folder not writable, as nobody") << "" << "--backup --delete --backup-path {P}"
        << QStringList{creating, reading, "[error] User does not have permission to write to {P}", backupFailed} << 2;
    QTest::newRow("server running") << "answer:server-suspended\n" << "--restore --backup-path {P}"
        << QStringList{restoring, reading, "[error] Vellacor server is running, please shut down Vellacor server and client before restoring a backup", failed} << 2;
    QTest::newRow("backup path missing") << "" << "--restore --backup-path {P}/none"
        << QStringList{restoring, reading, "[error] Backup path {P}/none does not exist.", failed} << 2;
    QTest::newRow("backup not readable, as nobody") << "chmod 700 \"$P\"" << "--restore --backup-path {P}"
        << QStringList{restoring, reading, "[error] Backup path {P} is not readable.", failed} << 2;
    QTest::newRow("metadata empty") << metadata.arg("") << "--restore --backup-path {P}"
        << QStringList{restoring, reading, "[error] Error in reading JSON data from {P}/bw-vellacor-backup-metadata.json : illegal value", load, failed} << 2;
    QTest::newRow("metadata an array") << metadata.arg(R"(["1.0.0"])") << "--restore --backup-path {P}"
        << QStringList{restoring, reading, "[error] Failed to parse backup version from metadata.", load, failed} << 2;
    QTest::newRow("newer version past an int, all skipped") << metadata.arg(R"({"version":"1.0.99999999999"})") << "--restore --backup-path {P} --restore-skip db,reporting,assets"
        << QStringList{restoring, reading, newer.arg("1.0.99999999999"), load, failed} << 2;
    QTest::newRow("100 MB of JSON") << R"({ printf '{'; head -c 100000000 /dev/zero | tr '\0' ' '; echo '"version":"7.1"}'; } > "$P/bw-vellacor-backup-metadata.json")" << "--restore --backup-path {P}"
        << QStringList{restoring, reading, newer.arg("7.1"), load, failed} << 2;
    QTest::newRow("entry climbing out") << metadata.arg(R"({"version":"1.0.0","db":{"file":"../b/db_dump.db"}})") << "--restore --backup-path {P}"
        << QStringList{restoring, reading, "[error] Invalid entry ../b/db_dump.db for component db in backup metadata.", load, failed} << 2;
    QTest::newRow("component of the wrong type") << metadata.arg(R"({"version":"0.9","reporting":"x.db","db":null})") << "--restore --backup-path {P}"
        << QStringList{restoring, reading, "[info] Backup doesn't contain main database.",
                       "[error] Invalid entry  for component reporting in backup metadata.", load, failed} << 2;
    QTest::newRow("reporting check fails after db passed")
        << metadata.arg(R"({"version":"0.9","db":{"file":"db_dump.db"},"reporting":{"file":"reporting_dump.sql"}})") << "--restore --backup-path {P}"
        << QStringList{restoring, reading, "[error] Backup database is not compatible. Backup is postgres, but target database sqlite://data/reporting.db is sqlite", load, failed} << 2;
    QTest::newRow("nothing selected") << metadata.arg(R"({"version":"1.0.0"})") << "--restore --backup-path {P} --restore-skip Db,REPORTING,,dbx,assets"
        << QStringList{unknown.arg("component Db in --restore-skip" + components), unknown.arg("component REPORTING in --restore-skip" + components),
                       unknown.arg("component dbx in --restore-skip" + components), restoring, reading, "[info] Backup doesn't contain main database.", "[info] Backup doesn't contain reporting database.",
                       "[info] Skipping media library in restore.", "[error] No components selected for restore.", failed} << 2;
    // The reporting database cannot be removed as a file: the main database came first, the media library is not reached.
    QTest::newRow("restore stops at the first failure, and says why")
        << "sqlite3 data/main.db 'DELETE FROM projects' && touch media/after-backup.txt && rm data/reporting.db && mkdir -p data/reporting.db/in" << "--restore --backup-path {P}"
        << QStringList{restoring, reading, "[error] {S}data/reporting.db: Is a directory", "[error] Failed to remove exiting database {S}data/reporting.db", failed} << 2;
    const QString linked = "[info] Linked 2 unchanged media files from the earlier backup in {P}/assets, copied 0";
    QTest::newRow("pg_dump writes half a dump, exit 0")
        << R"(mkdir "$D/bin" && printf '#!/bin/sh\necho -- PostgreSQL database dump > "$3"\n' > "$D/bin/pg_dump" && chmod +x "$D/bin/pg_dump" && )"
           + configure.arg("reporting_db: postgres://nobody@127.0.0.1:1/x") << "--backup --delete --backup-path {P} --backup-skip db"
        << QStringList{creating, reading, "[info] Skipping main database in backup.", linked, "[error] Backup check failed for {P}/vellacor-backup-tmp…", backupFailed} << 2;
    // In a folder that all may write to, only its owner may move an entry: nobody's, but one.
    QTest::newRow("earlier entry that cannot be moved aside, as nobody: the others move back")
        << R"(chown -R nobody "$P" && chmod 1777 "$P" && chown root "$P" "$P/reporting_dump.db")" << "--backup --delete --backup-path {P}"
        << QStringList{creating, reading, linked, "[error] {P}/reporting_dump.db: Operation not permitted", "[error] Failed to remove existing data in {P}", backupFailed} << 2;
    QTest::newRow("dangling link named like an entry") << link.arg("db_dump.db") << "--backup --delete --backup-path {P}"
        << QStringList{creating, reading, linked, "[error] Failed to move {P}/vellacor-backup-tmp…", "[error] Failed to move temporary backup data from {P}/vellacor-backup-tmp…", backupFailed} << 2;
    for (const char* entry : {"bw-vellacor-backup-metadata.json", "db_dump.db", "assets"})
        QTest::newRow(qPrintable(QString("restore refuses a link named %1").arg(entry))) << link.arg(entry) << "--restore --backup-path {P}"
            << QStringList{restoring, reading, QString("[error] Backup check failed for {P}/%1: it is a symbolic link").arg(entry), load, failed} << 2;
    const QString refusing = "[error] Refusing to use %1 as the media library: %2";
    QTest::newRow("asset_root missing") << configure.arg("asset_root:") << "--backup --delete --backup-path {P}"
        << QStringList{creating, reading, refusing.arg("{R}/server/", "no asset_root is configured"), backupFailed} << 2;
    QTest::newRow("asset_root the installation") << configure.arg("asset_root: ..") << "--backup --delete --backup-path {P}"
        << QStringList{creating, reading, refusing.arg("{R}", "it is the installation folder"), backupFailed} << 2;
    QTest::newRow("asset_root a parent of the installation, restore") << configure.arg("asset_root: ../..") << "--restore --backup-path {P}"
        << QStringList{restoring, reading, refusing.arg("{D}", "it holds the installation folder"), load, failed} << 2;
    QTest::newRow("asset_root holds a database") << configure.arg("asset_root: data/") << "--backup --delete --backup-path {P}"
        << QStringList{creating, reading, refusing.arg("{S}data/", "it holds the database {S}data/main.db"), backupFailed} << 2;
    QTest::newRow("asset_root /, restore") << configure.arg("asset_root: /") << "--restore --backup-path {P}"
        << QStringList{restoring, reading, refusing.arg("/", "it is the root folder"), load, failed} << 2;
    const QString suspending = "[info] Suspending Vellacor Editor", resuming = "[info] Resuming Vellacor Editor";
    const QString created = "[info] Created a backup of Vellacor data in {P}";
    QTest::newRow("editor: other line first, answer in pieces") << "answer:{\"msg\" : \"ack\"}\n{\"msg\" : \"server-|susp|ended\"}\n"
        << "--backup --delete --backup-path {P}" << QStringList{creating, reading, suspending, linked, resuming, created} << 0;
    QTest::newRow("editor: answer among other lines of one write") << "answer:ack\nx server-suspended y\nlater\n"
        << "--backup --delete --backup-path {P}" << QStringList{creating, reading, suspending, linked, resuming, created} << 0;
    QTest::newRow("editor: hang-up instead of an answer") << "answer:" << "--backup --delete --backup-path {P}"
        << QStringList{creating, reading, suspending, linked, created} << 0;
    QTest::newRow("small volume, full at the check") << "head -c 614400 /dev/zero > media/video.bin" << "--backup --backup-path {P}"
        << QStringList{creating, reading, "[error] Not enough space available at {P}/vellacor-backup-tmp…", backupFailed} << 2;
    QTest::newRow("small volume, full at the database dump") << "sqlite3 data/main.db 'CREATE TABLE b (b); INSERT INTO b VALUES (randomblob(614400))'"
        << "--backup --backup-path {P}" << QStringList{creating, reading, "[error] SQLite could not back up {S}data/main.db: …", "[error] Failed to backup database …", backupFailed} << 2;
    // 300 files of 10 bytes pass the check, but each takes a page on the volume. Copy threads ahead of the walk may
    // fill it before an earlier file is written: which file fails first is a race.
    QTest::newRow("small volume, full during the media copy") << "mkdir media/many && for i in $(seq 300); do echo ten bytes > media/many/$i; done" << "--backup --backup-path {P}"
        << QStringList{creating, reading, "[error] {P}/vellacor-backup-tmp…/assets/…: No space left on device", "[error] Failed to copy file …",
                       "[error] Failed to backup folder {S}media at {P}/vellacor-backup-tmp…/assets", backupFailed} << 2;
    // A file of the kernel's, mounted over an empty one, holds text when read: as a file that grew while it was copied.
    QTest::newRow("small volume, a file changed during the copy") << "touch media/changing" << "--backup --backup-path {P}"
        << QStringList{creating, reading, "[error] Backup check failed for {P}/vellacor-backup-tmp…/assets/changing: the copy holds … bytes, "
                                          "but the file held 0 when it was opened (it changed during the copy)", backupFailed} << 2;
    // clang-format on
}

void tst_EndToEnd::runs()
{
    QFETCH(QString, setup);
    QFETCH(QString, arguments);
    QFETCH(QStringList, lines);
    QFETCH(int, status);
    const QByteArray tag = QTest::currentDataTag();
    Installation installation;
    QVERIFY(setMode(installation.dir.path(), 0755)); // nobody may look in
    QCOMPARE(installation.run({"--backup", "--backup-path", installation.backups}).exitCode, 0);
    QVERIFY(writeFile(installation.backups + "/notes.txt", "foreign content\n"));
    std::unique_ptr<FakeControlServer> server;
    if (setup.startsWith("answer:")) {
        server = std::make_unique<FakeControlServer>(setup.mid(7).toUtf8().split('|'));
        installation.port = server->port();
        installation.configure();
    } else {
        const ToolRun changed = installation.shell(setup, installation.server);
        QVERIFY2(changed.exitCode == 0, changed.standardError);
    }
    const QStringList before = describeTree(installation.dir.path());

    QStringList args = installation.expand(arguments).split(' ', Qt::SkipEmptyParts);
    // A file of the kernel's is mounted over media/changing where there is one.
    const QString volume = R"(mount --make-rprivate / && mount -t tmpfs -o size=512k tmpfs "$0" &&)"
                           R"( { [ ! -e "$1" ] || mount --bind /proc/version "$1"; } &&)"
                           R"( shift && "$@"; status=$?; ls -A "$0"; exit $status)";
    if (tag.startsWith("small volume"))
        args = QStringList{"-m", "sh", "-c", volume, installation.backups, installation.media + "/changing", BWV_TOOL_PATH} + args;
    const QString program = tag.startsWith("small volume") ? "unshare" : BWV_TOOL_PATH;
    const ToolRun run = tag.contains("nobody") ? runToolAsNobody(args, installation.environment)
                                               : installation.run(args, program);
    const QStringList expected = installation.expand(lines.join('\n')).split('\n');
    QVERIFY2(linesMatch(run.lines, expected), qPrintable(run.lines.join('\n')));
    QCOMPARE(run.exitCode, status);
    QCOMPARE(run.standardOutput, QByteArray()); // and nothing left on a volume
    if (tag.startsWith("restore stops")) {
        QCOMPARE(sqlite(installation.mainDb, "SELECT count(*) FROM projects"), "2");
        QVERIFY(QFileInfo::exists(installation.media + "/after-backup.txt"));
    } else if (status != 0 || arguments.contains("--dry-run")) {
        QCOMPARE(describeTree(installation.dir.path()), before); // nothing touched, no temporary folder left
    }
    // Start-backup goes with the line that says so, finish-backup likewise; a dry run sends nothing.
    const QByteArray start = lines.contains("[info] Suspending Vellacor Editor") ? "{\"msg\" : \"start-backup\"}\n" : "";
    const QByteArray finish = lines.contains("[info] Resuming Vellacor Editor") ? "{\"msg\" : \"finish-backup\"}\n" : "";
    QVERIFY(!server || waitFor([&] { return server->received() == start + finish; }));
}

// A stop request ends a run at its next safe point: a restore once psql has loaded the database
// it began, a backup's wait for the server or its media copy, each backup leaving the earlier one
// as it was. Meanwhile a second run is refused.
void tst_EndToEnd::stoppedAndConcurrentRuns()
{
    Installation installation;
    TestCluster cluster;
    QVERIFY(cluster.createDatabase("e2e_stop"));
    QCOMPARE(cluster.query("e2e_stop", "CREATE TABLE t (x int); INSERT INTO t VALUES (1), (2);"), QStringList());
    const QByteArray database = "db: " + cluster.url("e2e_stop").toUtf8() + "\n";
    installation.configure(database);
    QCOMPARE(installation.run({"--backup", "--backup-path", installation.backups}).exitCode, 0);
    QCOMPARE(cluster.query("e2e_stop", "DELETE FROM t"), QStringList());
    QVERIFY(writeFile(installation.media + "/after-backup.txt", "untouched\n"));
    // A psql that takes a second to start its load, and says when it began.
    QVERIFY(installation.addProgram("psql", "[ \"$1\" = --version ] && exec /usr/bin/psql --version\n"
                                            "touch \"$0.started\"; sleep 1; exec /usr/bin/psql \"$@\"\n"));
    QProcess restore;
    restore.setProcessEnvironment(installation.environment);
    restore.start(BWV_TOOL_PATH, {"--restore", "--backup-path", installation.backups});
    QVERIFY(waitFor([&] { return QFileInfo::exists(installation.dir.filePath("bin/psql.started")); }));
    ::kill(restore.processId(), SIGINT);
    const ToolRun restoring = finishTool(restore);
    const QStringList lines{"[error] Interrupted by signal SIGINT.", "[error] Vellacor restore process failed."};
    QCOMPARE(restoring.lines, installation.expect("Restoring", lines));
    QCOMPARE(restoring.exitCode, 2);
    QCOMPARE(cluster.query("e2e_stop", "SELECT x FROM t ORDER BY x"), QStringList({"1", "2"})); // the database finished
    QVERIFY(QFileInfo::exists(installation.media + "/after-backup.txt")); // the media library was not begun

    // Still the earlier backup's entry, in another letter case.
    QVERIFY(QFile::rename(installation.backups + "/reporting_dump.db", installation.backups + "/Reporting_Dump.DB"));
    const QStringList earlier = describeTree(installation.backups);
    FakeControlServer silent({"ack\n"}); // never "server-suspended"
    installation.port = silent.port();
    installation.configure(database);
    const QStringList backup{"--backup", "--delete", "--backup-path", installation.backups};
    const QString failed = "[error] Vellacor backup process failed.";

    // While one backup waits for the server, its temporary folder stays locked and a second
    // backup is refused; SIGTERM ends the wait.
    QProcess waiting;
    waiting.setProcessEnvironment(installation.environment);
    waiting.start(BWV_TOOL_PATH, backup);
    QVERIFY(waitFor([&] { return silent.received().contains("start-backup"); }));
    const QStringList working = QDir(installation.backups).entryList({"vellacor-backup-tmp*"}, QDir::Dirs);
    Sys::FolderLock probe;
    QCOMPARE(working.size(), 1);
    QVERIFY(!probe.tryLock(installation.backups + '/' + working.first()) && errno == EWOULDBLOCK);
    const ToolRun second = installation.run(backup);
    const QString another = "[error] Another bw-vellacor-ctl process is working on {R}";
    QCOMPARE(second.lines, installation.expect("Creating", {another, failed}));
    QCOMPARE(second.exitCode, 2);
    ::kill(waiting.processId(), SIGTERM);
    const ToolRun stopped = finishTool(waiting);
    QCOMPARE(stopped.lines, installation.expect("Creating", {"[info] Suspending Vellacor Editor",
                                                             "[error] Interrupted by signal SIGTERM.", failed,
                                                             "[info] Resuming Vellacor Editor"}));
    QCOMPARE(stopped.exitCode, 2);
    QVERIFY(silent.received().endsWith("{\"msg\" : \"finish-backup\"}\n"));
    QCOMPARE(describeTree(installation.backups), earlier); // no temporary folder, the earlier backup as it was

    // With port 0, as good as no server, the backup replaces the earlier one in any letter case.
    installation.port = 0;
    installation.configure(database);
    const QString linked = "[info] Linked 2 unchanged media files from the earlier backup in {P}/assets, copied 1";
    const QString created = "[info] Created a backup of Vellacor data in {P}";
    QCOMPARE(installation.run(backup).lines, installation.expect("Creating", {linked, created}));
    QCOMPARE(names(installation.backups), QStringList({"assets", "bw-vellacor-backup-metadata.json", "db_dump.sql",
                                                       "reporting_dump.db"}));

    // SIGINT during a large media copy leaves the complete backup as it was.
    const QStringList complete = describeTree(installation.backups);
    for (int i = 0; i < 5000; ++i)
        QVERIFY(writeFile(installation.media + QString("/bulk/%1/%2.bin").arg(i % 50).arg(i), QByteArray(1024, 'b')));
    QProcess copying;
    copying.setProcessEnvironment(installation.environment);
    copying.start(BWV_TOOL_PATH, backup);
    QVERIFY(waitFor([&] {
        const QStringList work = QDir(installation.backups).entryList({"vellacor-backup-tmp*"}, QDir::Dirs);
        return !work.isEmpty() && QFileInfo::exists(installation.backups + '/' + work.first() + "/assets/bulk/0");
    }));
    ::kill(copying.processId(), SIGINT);
    const QStringList interrupted{"[error] Interrupted by signal SIGINT.", failed};
    QCOMPARE(finishTool(copying).lines, installation.expect("Creating", interrupted));
    QCOMPARE(describeTree(installation.backups), complete);
}

void tst_EndToEnd::progressOnATerminal()
{
    // A pg_dump that takes a second and a half, under a pseudo-terminal made by script(1).
    Installation installation;
    installation.configure("  reporting_db: postgres://nobody@127.0.0.1:1/x\n");
    QVERIFY(installation.addProgram("pg_dump", R"(for i in 1 2 3 4 5 6; do head -c 100000 /dev/zero >> "$3"; sleep 0.25;)"
                                               " done\necho '-- PostgreSQL database dump complete' >> \"$3\"\n"));
    // script(1) gives the tool a terminal and copies what it shows to standard output.
    const QString command = QString("'%1' --backup --backup-path '%2'").arg(BWV_TOOL_PATH, installation.backups);
    const QString shown = installation.run({"-qec", command, "/dev/null"}, "script").standardOutput;
    // Redrawn in place, then erased before the next log line; the log lines themselves unchanged.
    QVERIFY2(shown.count(QRegularExpression("\r\x1b\\[Kpg_dump: [0-9.]+ KB written, ")) >= 2, qPrintable(shown));
    const QRegularExpression erased("KB/s, 0:0\\d\r\x1b\\[K\\d{4}-\\d\\d-\\d\\d [0-9:.]+ \\[info\\] Created a backup");
    QVERIFY2(shown.contains(erased), qPrintable(shown));
}

QTEST_GUILESS_MAIN(tst_EndToEnd)
#include "tst_end_to_end.moc"
