// The built tool's command line: the usage text, usage errors, start-up failures, statuses.
#include "tests/support/support.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray usageText =
    "BW Vellacor control tool\n"
    "Usage:  ./bw-vellacor-ctl  <command> <options>\n"
    "--help               Show this help.\n"
    "--backup             Create a backup of Vellacor data. If backup-path is not defined, the backup is\n"
    "                     saved to a subfolder in backup root defined in Vellacor server configuration.\n"
    "  --backup-path      (optional) Define a folder where the backup is saved. Unless --delete is defined,\n"
    "                     the backup will fail if the folder contains any existing Vellacor data.\n"
    "  --backup-skip      (optional) a comma-separated list of components to exlude from the backup. Options:\n"
    "                     db - The main Vellacor database\n"
    "                     reporting - The Vellacor data gathering and reporting database\n"
    "                     assets - The contents of Vellacor media library\n"
    "  --delete           (optional) If defined, backup process will delete existing Vellacor data in --backup-path.\n"
    "--restore            Restore a backup of Vellacor data in backup-path. Existing Vellacor data is removed\n"
    "                     and replaced with data in the backup.\n"
    "  --backup-path      Path to folder containing Vellacor backup data to restore.\n"
    "  --restore-skip     (optional) a comma-separated list of components to exlude from the restore. Options:\n"
    "                     db - The main Vellacor database\n"
    "                     reporting - The Vellacor data gathering and reporting database\n"
    "                     assets - The contents of Vellacor media library\n";

} // namespace

class tst_CommandLine : public QObject {
    Q_OBJECT

private slots:
    void usage_data();
    void usage();
    void failures_data();
    void failures();
};

void tst_CommandLine::usage_data()
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

void tst_CommandLine::usage()
{
    QFETCH(QString, arguments);
    QFETCH(QByteArray, after);
    QFETCH(int, status);
    // Started as "./bw-vellacor-ctl", so that argv[0] shows as given.
    const ToolRun run = runTool(arguments.split(' ', Qt::SkipEmptyParts), QProcessEnvironment::systemEnvironment(),
                                QFileInfo(BWV_TOOL_PATH).path(), "./bw-vellacor-ctl");
    QCOMPARE(run.standardError, usageText + after);
    QCOMPARE(run.exitCode, status);
}

void tst_CommandLine::failures_data()
{
    // <T>: a fresh folder; <T>/install is an installation without configuration, and
    // <T>/locked.yaml a configuration that only root may read.
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("root");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("status");

    const QString creating = "[info] Creating a backup of Vellacor data";
    const QString restoring = "[info] Restoring a backup of Vellacor data";
    const QString backupFailed = "[error] Vellacor backup process failed.";
    const QString restoreFailed = "[error] Vellacor restore process failed.";
    const QString notRead = "[error] Failed to read Vellacor server configuration from ";
    const QStringList noPath{"[error] --backup-path argument is required with --restore."};
    // clang-format off
    QTest::newRow("restore without a path") << "--restore --delete" << "<T>/install" << noPath << 1;
    QTest::newRow("restore, empty path after =") << "--restore --backup-path=" << "<T>/install" << noPath << 1;
    QTest::newRow("restore, path missing at the end") << "--restore --backup-path" << "<T>/install" << noPath << 1;
    QTest::newRow("installation missing") << "--backup" << "<T>/nowhere"
        << QStringList{creating, "[error] Failed to find Vellacor installation: installation folder <T>/nowhere does not exist", backupFailed} << 2;
    QTest::newRow("installation is a file") << "--restore --backup-path /b" << "<T>/locked.yaml"
        << QStringList{restoring, "[error] Failed to find Vellacor installation: installation folder <T>/locked.yaml is not a folder", restoreFailed} << 2;
    QTest::newRow("configuration missing") << "now --backup please" << "<T>/install"
        << QStringList{creating, notRead + "<T>/install/server/production.yaml", backupFailed} << 2;
    QTest::newRow("named configuration is a folder, last one wins") << "--backup --server-config=/x --server-config <T>/install" << "<T>/install"
        << QStringList{creating, notRead + "<T>/install", backupFailed} << 2;
    QTest::newRow("configuration unreadable, run as nobody") << "--restore --backup-path=/b --server-config <T>/locked.yaml" << "<T>/install"
        << QStringList{restoring, notRead + "<T>/locked.yaml", restoreFailed} << 2;
    // clang-format on
}

void tst_CommandLine::failures()
{
    QFETCH(QString, arguments);
    QFETCH(QString, root);
    QFETCH(QStringList, lines);
    QFETCH(int, status);
    QTemporaryDir tmp;
    QVERIFY(setMode(tmp.path(), 0755) && QDir().mkpath(tmp.filePath("install/server")));
    QVERIFY(writeFile(tmp.filePath("locked.yaml"), "db: main.db\n") && setMode(tmp.filePath("locked.yaml"), 0600));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VELLACOR_ROOT", root.replace("<T>", tmp.path()));
    // The crash folder is made when a crash happens, never at start-up.
    const QStringList args = QStringList{"--minidump-path", tmp.filePath("crashes")}
                             + arguments.replace("<T>", tmp.path()).split(' ', Qt::SkipEmptyParts);

    const bool asNobody = QByteArray(QTest::currentDataTag()).contains("nobody");
    const ToolRun run = asNobody ? runToolAsNobody(args, env) : runTool(args, env);
    QCOMPARE(run.lines, lines.replaceInStrings("<T>", tmp.path()));
    QCOMPARE(run.exitCode, status);
    QVERIFY(!QFileInfo::exists(tmp.filePath("crashes")));
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_command_line.moc"
