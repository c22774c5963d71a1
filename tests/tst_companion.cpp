// bw-vellacor-backups on real backups made by bw-vellacor-ctl: its command line, retention,
// list and metrics, verification, and an offsite copy through a real restic repository.
#include "tests/support/support.h"

#include "sys/files.h"

#include <QtTest>

#include <sys/stat.h>

namespace {

ToolRun companion(const Installation& installation, const QString& arguments)
{
    return installation.run(arguments.split(' ', Qt::SkipEmptyParts), BWV_COMPANION_PATH);
}

// The lines of a run without the one that names the configuration file read.
QStringList ownLines(const ToolRun& run)
{
    return run.lines.filter(QRegularExpression("^(?!\\[info\\] Reading server configuration from )"));
}

// A new backup under the backup root: its folder.
QString backup(const Installation& installation)
{
    const ToolRun run = installation.run({"--backup"});
    return run.exitCode == 0 ? run.lines.last().section(" in ", 1) : QString();
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
    QTest::newRow("offsite keeps nothing") << "offsite --keep-daily 0 --keep-weekly 0 --keep-monthly=0" << 1 << "[error] The keep counts must be whole numbers, not all 0, and the timeout 1 to 2000000 seconds";
    QTest::newRow("backup root missing") << "prune --backup-root {D}/none" << 2 << "[error] Backup root {D}/none is not a folder";
    QTest::newRow("no restic repository named") << "offsite --backup-root {D}" << 2 << "[error] No restic repository is named: set RESTIC_REPOSITORY (or RESTIC_REPOSITORY_FILE) and RESTIC_PASSWORD_FILE";
    QTest::newRow("help wins") << "prune --keep 0 --help" << 0 << "";
    // clang-format on
}

void tst_Companion::commandLine()
{
    QFETCH(QString, arguments);
    QFETCH(int, status);
    QFETCH(QString, line);
    Installation installation;
    installation.environment.remove("RESTIC_REPOSITORY");
    installation.environment.remove("RESTIC_REPOSITORY_FILE");
    const ToolRun run = companion(installation, installation.expand(arguments));
    QCOMPARE(run.exitCode, status);
    QCOMPARE(ownLines(run).value(0), installation.expand(line));
    QCOMPARE(run.standardError.contains("Usage: bw-vellacor-backups"), status == 1);
}

void tst_Companion::prune_data()
{
    QTest::addColumn<QString>("arguments"); // {P}: the backup root
    QTest::addColumn<QString>("keepVariable");
    QTest::addColumn<QStringList>("old"); // the <ms> of the folders that go, in the order they go
    const QStringList oldest{"999", "1000"};
    // clang-format off
    QTest::newRow("keep 2, 999 older than 1000") << "--backup-root {P} --keep 2" << "4" << oldest + QStringList{"2000"};
    QTest::newRow("dry run") << "--keep=2 --dry-run" << "" << oldest + QStringList{"2000"};
    QTest::newRow("keep from the environment, configured root") << "" << "03" << oldest;
    QTest::newRow("more kept than there are") << "--keep 9" << "1" << QStringList();
    // clang-format on
}

// Exactly the old complete backups go: never a link, a foreign name, an incomplete backup,
// one being written, or the newest; removal never follows a link.
void tst_Companion::prune()
{
    QFETCH(QString, arguments);
    QFETCH(QString, keepVariable);
    QFETCH(QStringList, old);
    Installation installation;
    const QString root = installation.backups, outside = installation.dir.filePath("outside");
    const QString name = root + "/%1_2026_01_01_1.0.0_vellacor-backup", meta = "/bw-vellacor-backup-metadata.json";
    QStringList complete{root + "/1300_2026_1_01_1.0.0_vellacor-backup", root + "/notes", outside + "/real"};
    for (const int ms : {999, 1000, 2000, 3000, 4000, 1500})
        complete << name.arg(ms);
    for (const QString& folder : complete)
        QVERIFY(writeFile(folder + meta, "{\"version\":\"1.0.0\"}") && writeFile(folder + "/assets/a", "data\n"));
    QVERIFY(writeFile(root + "/2500_2026_01_02_1.0.0_vellacor-backup/db_dump.db", "no metadata\n"));
    QVERIFY(writeFile(name.arg(1600), "a file\n") && writeFile(outside + "/precious", "keep\n"));
    QVERIFY(QFile::link(outside + "/precious", name.arg(2000) + "/assets/link"));
    QVERIFY(QDir().mkpath(name.arg(1500) + "/vellacor-backup-tmpXy12")); // being written
    QVERIFY(QDir().mkpath(name.arg(1200)) && QFile::link(outside + "/real" + meta, name.arg(1200) + meta));
    QVERIFY(QFile::link(outside + "/real", name.arg(1100)));
    const QStringList outsideBefore = describeTree(outside);
    const bool dryRun = arguments.contains("--dry-run");
    QStringList kept = names(root), lines;
    for (const QString& ms : old) {
        lines << (dryRun ? "[info] Would remove " : "[info] Removed ") + name.arg(ms);
        if (!dryRun)
            kept.removeAll(QFileInfo(name.arg(ms)).fileName());
    }

    installation.environment.insert("BW_VELLACOR_KEEP_BACKUPS", keepVariable);
    const ToolRun run = companion(installation, "prune " + installation.expand(arguments));
    QCOMPARE(ownLines(run), lines);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(names(root), kept);
    QCOMPARE(describeTree(outside), outsideBefore);
    if (!dryRun) // and the next night finds nothing more to remove
        QCOMPARE(ownLines(companion(installation, "prune " + installation.expand(arguments))), QStringList());
}

void tst_Companion::listAndMetrics()
{
    Installation installation;
    const QString first = backup(installation), second = backup(installation), failed = backup(installation);
    QVERIFY(!first.isEmpty() && !second.isEmpty() && QFile::remove(failed + "/bw-vellacor-backup-metadata.json"));
    const QString running = installation.backups + "/9999999999999_2286_11_20_1.0.0_vellacor-backup";
    QVERIFY(QDir().mkpath(running + "/vellacor-backup-tmpAb12"));
    Sys::FolderLock lock; // as the running backup holds it
    QVERIFY(lock.tryLock(running + "/vellacor-backup-tmpAb12"));
    qint64 size = 0;
    for (QDirIterator it(second, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        size += QFileInfo(it.next()).size();

    const ToolRun list = companion(installation, "list --json");
    QCOMPARE(list.exitCode, 0);
    const QJsonArray backups = QJsonDocument::fromJson(list.standardOutput).array();
    QStringList seen;
    for (const QJsonValue& b : backups)
        seen << QString("%1 %2 (%3) %4 %5").arg(b["path"].toString(), b["version"].toString("-"))
                    .arg(b["components"].toVariant().toStringList().join(','))
                    .arg(b["complete"].toBool())
                    .arg(b["in_progress"].toBool());
    QCOMPARE(seen, QStringList({first + " 1.0.0 (db,reporting,assets) 1 0", second + " 1.0.0 (db,reporting,assets) 1 0",
                                failed + " - () 0 0", running + " - () 0 1"}));
    QCOMPARE(qint64(backups[1]["size_bytes"].toDouble()), size);

    const QString ms = QFileInfo(second).fileName().section('_', 0, 0);
    const QString folder = installation.dir.filePath("textfile"), output = folder + "/bw_vellacor_backup.prom";
    QVERIFY(QDir().mkpath(folder));
    const mode_t mask = ::umask(077); // as the nightly service runs
    QCOMPARE(companion(installation, "metrics --textfile-folder " + folder).exitCode, 0);
    ::umask(mask);
    const QString text = readFile(output);
    const QString last = "bw_vellacor_backup_last_complete_";
    for (const QString& sample : {last + "timestamp_seconds " + ms.chopped(3) + '.' + ms.right(3),
                                  last + "size_bytes " + QString::number(size),
                                  QString("bw_vellacor_backups_complete 2"), QString("bw_vellacor_backups_incomplete 2")}) {
        const QString name = sample.section(' ', 0, 0);
        const QString described = "# TYPE " + name + " gauge\n" + sample + '\n';
        QVERIFY2(text.contains("# HELP " + name + ' ') && text.contains(described), qPrintable(text));
    }
    // Replaced whole through a file beside it, readable by the collector's user.
    QCOMPARE(names(folder), QStringList{"bw_vellacor_backup.prom"});
    QVERIFY(QFileInfo(output).permissions() & QFileDevice::ReadOther);
    // Without the collector's folder nothing is written, and that is no failure.
    QCOMPARE(companion(installation, "metrics --textfile-folder " + installation.dir.filePath("none")).exitCode, 0);
    QVERIFY(!QFileInfo::exists(installation.dir.filePath("none")));
}

void tst_Companion::verify_data()
{
    // The main database in PostgreSQL, so that --load-postgres loads its dump into a scratch
    // database, which goes again.
    QTest::addColumn<bool>("postgres");
    QTest::addColumn<QString>("damage"); // run with sh in the backup folder, as Installation::shell
    QTest::addColumn<QStringList>("lines"); // the last ones, each going on with any text; {B}: the backup folder
    const QString notSound = "[error] Backup {B} is not sound (problems found: 1)";
    const QString checkFailed = "[error] Backup check failed for {B}/";
    const QString quay = "assets/images/quay.png";
    // clang-format off
    QTest::newRow("sound") << true << "" << QStringList{"[info] Backup {B} is sound"};
    QTest::newRow("target folder missing: judged, not made") << false << "echo 'reporting_db: sqlite://new/r.db' >> \"$S/production.yaml\""
        << QStringList{"[info] Backup {B} is sound"};
    QTest::newRow("corrupted SQLite dump, the table's page") << false << "printf %4096s | dd of=reporting_dump.db bs=4096 seek=1 conv=notrunc status=none"
        << QStringList{checkFailed + "reporting_dump.db: SQLite's integrity_check found: ", notSound};
    // A statement that fails only when loaded: every other check passes.
    QTest::newRow("dump that psql cannot load") << true << "sed -i 's/^-- PostgreSQL database dump complete/INSERT INTO missing VALUES (1);\\n&/' db_dump.sql"
        << QStringList{checkFailed + "db_dump.sql: psql could not load it into a scratch database", notSound};
    QTest::newRow("truncated media file") << false << "truncate -s 1000 " + quay
        << QStringList{checkFailed + quay + ": it was changed after the backup was made", notSound};
    QTest::newRow("truncated media file, time kept") << false << "truncate -s 1000 " + quay + " && touch -r \"$S/media/images/quay.png\" " + quay
        << QStringList{checkFailed + quay + ": it holds 1000 bytes, but the unchanged file in the media library holds 70000", notSound};
    QTest::newRow("missing entry") << false << "rm reporting_dump.db" << QStringList{"[error] File {B}/reporting_dump.db does not exist.", notSound};
    QTest::newRow("newer version") << false << "echo '{\"version\":\"1.0.1\"}' > bw-vellacor-backup-metadata.json"
        << QStringList{"[error] Backup is from a newer version of Vellacor, found backup version 1.0.1 but current Vellacor version is 1.0.0", notSound};
    // clang-format on
}

void tst_Companion::verify()
{
    QFETCH(bool, postgres);
    QFETCH(QString, damage);
    QFETCH(QStringList, lines);
    TestCluster cluster;
    Installation installation;
    if (postgres) {
        QVERIFY(cluster.createDatabase("companion_main"));
        QCOMPARE(cluster.query("companion_main", "CREATE TABLE t AS SELECT 'quay' AS x"), QStringList());
        installation.configure("db: " + cluster.url("companion_main").toUtf8() + '\n');
    }
    const QString backup = ::backup(installation);
    QVERIFY(!backup.isEmpty()); // before the damage is done in it
    const ToolRun damaged = installation.shell(damage, backup);
    QVERIFY2(damaged.exitCode == 0, damaged.standardError);
    const QStringList before = describeTree(installation.dir.path());
    const ToolRun run = companion(installation, "verify --load-postgres " + backup);
    const QStringList expected = lines.replaceInStrings("{B}", backup).replaceInStrings(QRegularExpression("$"), "…");
    QVERIFY2(linesMatch(ownLines(run).mid(ownLines(run).size() - lines.size()), expected), run.standardError);
    QCOMPARE(run.exitCode, lines.last().startsWith("[info]") ? 0 : 2);
    QCOMPARE(describeTree(installation.dir.path()), before); // nothing made, nothing changed
    const QString scratch = "SELECT count(*) FROM pg_database WHERE datname LIKE 'bw_vellacor_verify_%'";
    QCOMPARE(cluster.query("postgres", scratch), QStringList{"0"});
}

// A backup copied offsite by restic restores into a working installation.
void tst_Companion::offsiteRoundTrip()
{
    if (QStandardPaths::findExecutable("restic").isEmpty())
        QSKIP("restic is not installed");
    Installation installation;
    installation.environment.insert("RESTIC_REPOSITORY", installation.dir.filePath("repository"));
    installation.environment.insert("RESTIC_PASSWORD_FILE", installation.dir.filePath("password"));
    installation.environment.insert("RESTIC_CACHE_DIR", installation.dir.filePath("cache"));
    QVERIFY(writeFile(installation.dir.filePath("password"), "correct horse\n"));
    QVERIFY(!backup(installation).isEmpty());
    ToolRun run = companion(installation, "offsite");
    QVERIFY2(run.exitCode == 0 && run.standardError.contains("Created the restic repository"), run.standardError);

    // The next night, with other data: its snapshot is the latest.
    sqlite(installation.mainDb, "DELETE FROM projects WHERE id = 1;");
    QVERIFY(QFile::remove(installation.media + "/docs/shift plan.txt"));
    QVERIFY(writeFile(installation.media + "/new.txt", "new\n"));
    QVERIFY(!backup(installation).isEmpty());
    run = companion(installation, "offsite --keep-daily 2 --keep-weekly=0");
    QVERIFY2(run.exitCode == 0 && !run.standardError.contains("Created"), run.standardError);
    const QString rows = sqlite(installation.mainDb, "SELECT * FROM projects;");
    const QStringList media = describeTree(installation.media);

    sqlite(installation.mainDb, "DELETE FROM projects;");
    QVERIFY(QDir(installation.media + "/images").removeRecursively());
    const QString restored = installation.dir.filePath("restored");
    QCOMPARE(installation.run({"restore", "latest", "--target", restored}, "restic").exitCode, 0);
    run = installation.run({"--restore", "--backup-path", restored});
    QVERIFY2(run.exitCode == 0, run.standardError);
    QCOMPARE(sqlite(installation.mainDb, "SELECT * FROM projects;"), rows);
    QCOMPARE(describeTree(installation.media), media);

    QVERIFY(writeFile(installation.dir.filePath("password"), "wrong\n"));
    run = companion(installation, "offsite");
    QCOMPARE(run.lines.last(), "[error] restic cat config failed: wrong password or no key found");
    QCOMPARE(run.exitCode, 2);
}

QTEST_GUILESS_MAIN(tst_Companion)
#include "tst_companion.moc"
