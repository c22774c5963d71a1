// bw-vellacor-backups on real backups made by bw-vellacor-ctl: its command line, retention,
// list and metrics, verification, and an offsite copy through a real restic repository.
#include "tests/support/support.h"

#include "sys/files.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

QString sql(const QString& file, const QString& statements)
{
    QProcess sqlite;
    sqlite.start("sqlite3", {file, statements});
    sqlite.waitForFinished(60000);
    return QString::fromUtf8(sqlite.readAllStandardOutput()).trimmed();
}

// Every entry below folder with each file's content.
QMap<QString, QByteArray> snapshot(const QString& folder)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries.insert(path.mid(folder.size()), it.fileInfo().isDir() ? QByteArray("folder") : readFile(path));
    }
    return entries;
}

// <T>/installation/server/{production.yaml,data/*.db,media/}; its backup_root, written the
// way the configuration grammar surprises (last line wins, quotes, blanks, CRLF), is
// <T>/backups. Nothing listens on its control port.
struct Installation {
    QTemporaryDir dir;
    QString server = dir.filePath("installation/server/");
    QString mainDb = server + "data/main.db";
    QString media = server + "media";
    QString backups = dir.filePath("backups");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();

    Installation()
    {
        configure();
        QDir().mkpath(server + "data");
        sql(mainDb, "CREATE TABLE projects (id INTEGER PRIMARY KEY, name TEXT); INSERT INTO projects VALUES (1, 'harbour'), (2, 'plant');");
        sql(server + "data/reporting.db", "CREATE TABLE sessions (minutes INTEGER); INSERT INTO sessions VALUES (42);");
        writeFile(media + "/images/quay.png", QByteArray(70000, 'q'));
        writeFile(media + "/docs/plan.txt", "early, late\n");
        QDir().mkpath(backups);
        env.insert("VELLACOR_ROOT", dir.filePath("installation"));
        env.insert("BW_VELLACOR_KEEP_BACKUPS", "7");
    }
    void configure(const QByteArray& db = "sqlite://data/main.db")
    {
        QTcpServer unused;
        unused.listen(QHostAddress::LocalHost);
        writeFile(server + "production.yaml", "db: " + db + "\nreporting_db: sqlite://data/reporting.db\nasset_root: media\n"
                                              "backup_root: /nonexistent\nbackup:\n\t backup_root:   \"../../backups\"\r\n"
                                              "control_port: " + QByteArray::number(unused.serverPort()) + "\n");
    }
    QString backup() const // a new backup under the backup root: its folder
    {
        const ToolRun run = runTool({"--backup"}, env);
        return run.exitCode == 0 ? run.lines.last().section(" in ", 1) : QString();
    }
    ToolRun companion(const QString& arguments) const
    {
        return runTool(arguments.split(' ', Qt::SkipEmptyParts), env, QString(), BWV_COMPANION_PATH);
    }
};

// The lines of a run without the one that names the configuration file read.
QStringList ownLines(const ToolRun& run)
{
    return run.lines.filter(QRegularExpression("^(?!\\[info\\] Reading server configuration from )"));
}

} // namespace

class tst_Companion : public QObject {
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void prune_data();
    void prune();
    void listAndMetrics();
    void verify_data();
    void verify();
    void verifyLoadsPostgresDump();
    void offsiteRoundTrip();
};

void tst_Companion::commandLine_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("line"); // the first line on standard error
    // clang-format off
    QTest::newRow("no command") << "" << 1 << "[error] No command given";
    QTest::newRow("unknown command") << "restore --backup-path /x" << 1 << "[error] Unknown command restore";
    QTest::newRow("option of another command") << "list --keep 3" << 1 << "[error] Unknown option --keep for list";
    QTest::newRow("flag given a value") << "list --json=yes" << 1 << "[error] Option --json takes no value";
    QTest::newRow("value missing at the end") << "prune --keep" << 1 << "[error] Option --keep needs a value";
    QTest::newRow("verify without its path") << "verify --load-postgres" << 1 << "[error] verify needs the path of one backup";
    QTest::newRow("keep 0") << "prune --keep 0" << 1 << "[error] The number of backups to keep must be a whole number of at least 1, not '0'";
    QTest::newRow("keep not a number") << "prune --keep=two" << 1 << "[error] The number of backups to keep must be a whole number of at least 1, not 'two'";
    QTest::newRow("offsite keeps nothing") << "offsite --keep-daily 0 --keep-weekly 0 --keep-monthly=0" << 1 << "[error] The keep counts must be whole numbers, not all 0, and the timeout 1 to 2000000 seconds";
    QTest::newRow("backup root missing") << "prune --backup-root {T}/none" << 2 << "[error] Backup root {T}/none is not a folder";
    QTest::newRow("no restic repository named") << "offsite --backup-root {T}" << 2 << "[error] No restic repository is named: set RESTIC_REPOSITORY (or RESTIC_REPOSITORY_FILE) and RESTIC_PASSWORD_FILE";
    QTest::newRow("help wins") << "prune --keep 0 --help" << 0 << "";
    // clang-format on
}

void tst_Companion::commandLine()
{
    QFETCH(QString, arguments);
    QFETCH(int, status);
    QFETCH(QString, line);
    QTemporaryDir tmp;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("RESTIC_REPOSITORY");
    env.remove("RESTIC_REPOSITORY_FILE");
    const ToolRun run = runTool(arguments.replace("{T}", tmp.path()).split(' ', Qt::SkipEmptyParts), env, QString(), BWV_COMPANION_PATH);
    QCOMPARE(run.exitCode, status);
    QCOMPARE(run.lines.value(0), line.replace("{T}", tmp.path()));
    QCOMPARE(run.standardError.contains("Usage: bw-vellacor-backups"), status == 1);
}

void tst_Companion::prune_data()
{
    QTest::addColumn<QString>("arguments"); // {B}: the backup root
    QTest::addColumn<QString>("keepVariable");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("removed"); // the <ms> of the folders that go
    const QStringList oldest{"[info] Removed {B}/999_2026_01_01_1.0.0_vellacor-backup", "[info] Removed {B}/1000_2026_01_01_1.0.0_vellacor-backup"};
    const QString third = "[info] Removed {B}/2000_2026_01_01_1.0.0_vellacor-backup";
    // clang-format off
    QTest::newRow("keep 2, 999 older than 1000") << "--backup-root {B} --keep 2" << "4" << oldest + QStringList{third} << QStringList{"999", "1000", "2000"};
    QTest::newRow("dry run") << "--keep=2 --dry-run" << "" << QStringList(oldest + QStringList{third}).replaceInStrings("Removed", "Would remove") << QStringList();
    QTest::newRow("keep from the environment, configured root") << "" << "03" << oldest << QStringList{"999", "1000"};
    QTest::newRow("more kept than there are") << "--keep 9" << "1" << QStringList() << QStringList();
    // clang-format on
}

// Exactly the old complete backups go: never a link, a foreign name, an incomplete backup,
// one being written, or the newest; removal never follows a link.
void tst_Companion::prune()
{
    QFETCH(QString, arguments);
    QFETCH(QString, keepVariable);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, removed);
    Installation installation;
    const QString root = installation.backups, outside = installation.dir.filePath("outside");
    const QString meta = "/bw-vellacor-backup-metadata.json";
    const auto backup = [&](const QString& folder, bool complete) {
        QDir().mkpath(folder + "/assets");
        writeFile(folder + "/db_dump.db", "data\n");
        if (complete)
            writeFile(folder + meta, "{\"version\":\"1.0.0\"}");
    };
    backup(outside + "/real", true);
    writeFile(outside + "/precious", "keep\n");
    for (const QString ms : {"999", "1000", "2000", "3000", "4000", "1500"})
        backup(root + '/' + ms + "_2026_01_01_1.0.0_vellacor-backup", true);
    QVERIFY(QFile::link(outside + "/precious", root + "/2000_2026_01_01_1.0.0_vellacor-backup/assets/link"));
    QVERIFY(QDir().mkpath(root + "/1500_2026_01_01_1.0.0_vellacor-backup/vellacor-backup-tmpXy12")); // being written
    backup(root + "/2500_2026_01_02_1.0.0_vellacor-backup", false);
    backup(root + "/1200_2026_01_01_1.0.0_vellacor-backup", false);
    QVERIFY(QFile::link(outside + "/real" + meta, root + "/1200_2026_01_01_1.0.0_vellacor-backup" + meta));
    QVERIFY(QFile::link(outside + "/real", root + "/1100_2026_01_01_1.0.0_vellacor-backup"));
    backup(root + "/1300_2026_1_01_1.0.0_vellacor-backup", true);
    backup(root + "/notes", true);
    writeFile(root + "/1600_2026_01_01_1.0.0_vellacor-backup", "x\n");
    const QMap<QString, QByteArray> outsideBefore = snapshot(outside);
    QStringList kept = QDir(root).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& ms : removed)
        kept.removeAll(ms + "_2026_01_01_1.0.0_vellacor-backup");

    installation.env.insert("BW_VELLACOR_KEEP_BACKUPS", keepVariable);
    const ToolRun run = installation.companion("prune " + arguments.replace("{B}", root));
    QCOMPARE(ownLines(run), lines.replaceInStrings("{B}", root));
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QDir(root).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), kept);
    QCOMPARE(snapshot(outside), outsideBefore);
    if (!arguments.contains("--dry-run"))
        QCOMPARE(ownLines(installation.companion("prune " + arguments)), QStringList());
}

void tst_Companion::listAndMetrics()
{
    Installation installation;
    const QString first = installation.backup(), second = installation.backup(), failed = installation.backup();
    QVERIFY(!first.isEmpty() && !second.isEmpty() && !failed.isEmpty());
    QVERIFY(QFile::remove(failed + "/bw-vellacor-backup-metadata.json"));
    const QString running = installation.backups + "/9999999999999_2286_11_20_1.0.0_vellacor-backup";
    QVERIFY(QDir().mkpath(running + "/vellacor-backup-tmpAb12"));
    Sys::FolderLock lock; // as the running backup holds it
    QVERIFY(lock.tryLock(running + "/vellacor-backup-tmpAb12"));
    qint64 size = 0;
    for (QDirIterator it(second, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        size += QFileInfo(it.next()).size();

    const ToolRun list = installation.companion("list --json");
    QCOMPARE(list.exitCode, 0);
    const QJsonArray backups = QJsonDocument::fromJson(list.standardOutput).array();
    QStringList seen;
    for (const QJsonValue& backup : backups)
        seen << QString("%1 %2 (%3) %4 %5").arg(backup["path"].toString(), backup["version"].toString("-"),
                                            backup["components"].toVariant().toStringList().join(','))
                    .arg(backup["complete"].toBool()).arg(backup["in_progress"].toBool());
    QCOMPARE(seen, QStringList({first + " 1.0.0 (db,reporting,assets) 1 0", second + " 1.0.0 (db,reporting,assets) 1 0",
                                failed + " - () 0 0", running + " - () 0 1"}));
    QCOMPARE(qint64(backups[1]["size_bytes"].toDouble()), size);

    const QString ms = QFileInfo(second).fileName().section('_', 0, 0);
    const QString output = installation.dir.filePath("textfile/bw_vellacor_backup.prom");
    QVERIFY(QDir().mkpath(QFileInfo(output).path()));
    const mode_t mask = ::umask(077); // as the nightly service runs
    QCOMPARE(installation.companion("metrics --textfile-folder " + QFileInfo(output).path()).exitCode, 0);
    ::umask(mask);
    const QString text = QString::fromUtf8(readFile(output));
    for (const QString& sample : {"bw_vellacor_backup_last_complete_timestamp_seconds " + ms.chopped(3) + '.' + ms.right(3),
                                  "bw_vellacor_backup_last_complete_size_bytes " + QString::number(size),
                                  QString("bw_vellacor_backups_complete 2"), QString("bw_vellacor_backups_incomplete 2")}) {
        const QString name = sample.section(' ', 0, 0);
        QVERIFY2(text.contains("# HELP " + name + ' ') && text.contains("# TYPE " + name + " gauge\n" + sample + '\n'), qPrintable(text));
    }
    // Replaced whole through a file beside it, readable by the collector's user.
    QCOMPARE(QDir(QFileInfo(output).path()).entryList(QDir::Files | QDir::Hidden), QStringList{"bw_vellacor_backup.prom"});
    QVERIFY(QFileInfo(output).permissions() & QFileDevice::ReadOther);
    // Without the collector's folder nothing is written, and that is no failure.
    QCOMPARE(installation.companion("metrics --textfile-folder " + installation.dir.filePath("none")).exitCode, 0);
    QVERIFY(!QFileInfo::exists(installation.dir.filePath("none")));
}

void tst_Companion::verify_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QStringList>("lines"); // {B}: the backup folder
    const QString notSound = "[error] Backup {B} is not sound (problems found: 1)";
    const QString checkFailed = "[error] Backup check failed for {B}/";
    // clang-format off
    QTest::newRow("sound") << "" << QStringList{"[info] Backup {B} is sound"};
    QTest::newRow("target folder missing: judged, not made") << "new target folder" << QStringList{"[info] Backup {B} is sound"};
    QTest::newRow("corrupted SQLite dump") << "corrupt db_dump.db" << QStringList{checkFailed + "db_dump.db: SQLite's integrity_check found: ", notSound};
    QTest::newRow("truncated media file") << "truncate" << QStringList{checkFailed + "assets/images/quay.png: it was changed after the backup was made", notSound};
    QTest::newRow("truncated media file, time kept") << "truncate, keep time" << QStringList{checkFailed + "assets/images/quay.png: it holds 1000 bytes, but the unchanged file in the media library holds 70000", notSound};
    QTest::newRow("missing entry") << "remove reporting_dump.db" << QStringList{"[error] File {B}/reporting_dump.db does not exist.", notSound};
    QTest::newRow("newer version") << "version 1.0.1" << QStringList{"[error] Backup is from a newer version of Vellacor, found backup version 1.0.1 but current Vellacor version is 1.0.0", notSound};
    // clang-format on
}

void tst_Companion::verify()
{
    QFETCH(QString, damage);
    QFETCH(QStringList, lines);
    Installation installation;
    const QString backup = installation.backup();
    QVERIFY(!backup.isEmpty());
    QFile file(backup + "/assets/images/quay.png");
    const QDateTime time = QFileInfo(file).lastModified();
    if (damage == "new target folder") {
        installation.configure("sqlite://fresh/data/main.db");
    } else if (damage == "corrupt db_dump.db") {
        QFile dump(backup + "/db_dump.db"); // the table's page
        QVERIFY(dump.open(QIODevice::ReadWrite) && dump.seek(4096) && dump.write(QByteArray(4096, '\x5a')) == 4096);
    } else if (damage.startsWith("truncate")) {
        QVERIFY(file.resize(1000) && file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(damage.endsWith("keep time") ? time : time.addSecs(3600), QFileDevice::FileModificationTime));
    } else if (damage.startsWith("remove")) {
        QVERIFY(QFile::remove(backup + '/' + damage.section(' ', 1)));
    } else if (damage.startsWith("version")) {
        QVERIFY(writeFile(backup + "/bw-vellacor-backup-metadata.json", "{\"version\":\"" + damage.section(' ', 1).toUtf8() + "\"}"));
    }
    const QMap<QString, QByteArray> before = snapshot(installation.dir.path());
    const ToolRun run = installation.companion("verify " + backup);
    const QStringList last = ownLines(run).mid(ownLines(run).size() - lines.size());
    for (int i = 0; i < lines.size(); ++i) // the end of a line is SQLite's own text
        QVERIFY2(last.value(i).startsWith(lines[i].replace("{B}", backup)), qPrintable(run.standardError));
    QCOMPARE(run.exitCode, damage.isEmpty() || damage == "new target folder" ? 0 : 2);
    QCOMPARE(snapshot(installation.dir.path()), before); // nothing made, nothing changed
}

// With --load-postgres a dump that psql cannot load is found, and the scratch database goes.
void tst_Companion::verifyLoadsPostgresDump()
{
    TestCluster cluster;
    QVERIFY2(cluster.load(), "no test cluster: run the tests through ctest");
    QVERIFY(cluster.createDatabase("companion_main"));
    QCOMPARE(cluster.query("companion_main", "CREATE TABLE sheets (title text); INSERT INTO sheets VALUES ('quay');"), QStringList());
    Installation installation;
    installation.configure(cluster.url("companion_main").toUtf8());
    const QString backup = installation.backup();
    QVERIFY(!backup.isEmpty());
    QCOMPARE(installation.companion("verify --load-postgres " + backup).exitCode, 0);
    // A statement that fails only when loaded: every other check passes.
    QByteArray dump = readFile(backup + "/db_dump.sql");
    QVERIFY(writeFile(backup + "/db_dump.sql", dump.insert(dump.indexOf("-- PostgreSQL database dump complete"), "INSERT INTO missing VALUES (1);\n")));
    const ToolRun run = installation.companion("verify --load-postgres " + backup);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.lines.contains("[error] Backup check failed for " + backup + "/db_dump.sql: psql could not load it into a scratch database"), run.standardError);
    QCOMPARE(cluster.query("postgres", "SELECT count(*) FROM pg_database WHERE datname LIKE 'bw_vellacor_verify_%'"), QStringList{"0"});
}

// A backup copied offsite by restic restores into a working installation.
void tst_Companion::offsiteRoundTrip()
{
    if (QStandardPaths::findExecutable("restic").isEmpty())
        QSKIP("restic is not installed");
    Installation installation;
    installation.env.insert("RESTIC_REPOSITORY", installation.dir.filePath("repository"));
    installation.env.insert("RESTIC_PASSWORD_FILE", installation.dir.filePath("password"));
    installation.env.insert("RESTIC_CACHE_DIR", installation.dir.filePath("cache"));
    QVERIFY(writeFile(installation.dir.filePath("password"), "correct horse\n"));
    QVERIFY(!installation.backup().isEmpty());
    ToolRun run = installation.companion("offsite");
    QVERIFY2(run.exitCode == 0 && run.standardError.contains("Created the restic repository"), run.standardError.constData());

    // The next night, with other data: its snapshot is the latest.
    sql(installation.mainDb, "DELETE FROM projects WHERE id = 1;");
    QVERIFY(QFile::remove(installation.media + "/docs/plan.txt") && writeFile(installation.media + "/new.txt", "new\n"));
    QVERIFY(!installation.backup().isEmpty());
    run = installation.companion("offsite --keep-daily 2 --keep-weekly=0");
    QVERIFY2(run.exitCode == 0 && !run.standardError.contains("Created"), run.standardError.constData());
    const QString rows = sql(installation.mainDb, "SELECT * FROM projects;");
    const QMap<QString, QByteArray> media = snapshot(installation.media);

    sql(installation.mainDb, "DELETE FROM projects;");
    QVERIFY(QDir(installation.media + "/images").removeRecursively());
    const QString restored = installation.dir.filePath("restored");
    QProcess restic;
    restic.setProcessEnvironment(installation.env);
    restic.start("restic", {"restore", "latest", "--target", restored});
    QVERIFY(restic.waitForFinished(120000) && restic.exitCode() == 0);
    run = runTool({"--restore", "--backup-path", restored}, installation.env);
    QVERIFY2(run.exitCode == 0, run.standardError.constData());
    QCOMPARE(sql(installation.mainDb, "SELECT * FROM projects;"), rows);
    QCOMPARE(snapshot(installation.media), media);

    QVERIFY(writeFile(installation.dir.filePath("password"), "wrong\n"));
    run = installation.companion("offsite");
    QCOMPARE(run.lines.last(), "[error] restic cat config failed: wrong password or no key found");
    QCOMPARE(run.exitCode, 2);
}

QTEST_GUILESS_MAIN(tst_Companion)
#include "tst_companion.moc"
