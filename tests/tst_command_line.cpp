// The built tool's command line: usage text, usage errors and their statuses, start-up effects.
#include "tests/support/test_support.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char* const usageText = "BW Vellacor control tool\n"
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

// Started as "./bw-vellacor-ctl" from its own folder, so argv[0] keeps the "./".
ToolRun runRelative(const QStringList& arguments)
{
    ToolRun run;
    QProcess process;
    process.setProgram(QStringLiteral("./bw-vellacor-ctl"));
    process.setArguments(arguments);
    process.setWorkingDirectory(QFileInfo(QStringLiteral(BWV_TOOL_PATH)).absolutePath());
    process.start();
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(5000);
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.standardError = process.readAllStandardError();
    return run;
}

QStringList words(const char* text)
{
    return QString::fromUtf8(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

} // namespace

class tst_CommandLine : public QObject {
    Q_OBJECT

private slots:
    void usage_data();
    void usage();
    void restoreWithoutPath_data();
    void restoreWithoutPath();
    void failedCommand_data();
    void failedCommand();
};

void tst_CommandLine::usage_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QByteArray>("after"); // what follows the usage text
    QTest::addColumn<int>("status");
    const QByteArray bothCommands("Cannot define both --backup and --restore, choose one please.\n");
    // clang-format off
    QTest::newRow("help")                  << "--help"                    << QByteArray() << 0;
    QTest::newRow("help with both commands") << "--help --backup --restore" << QByteArray() << 0;
    QTest::newRow("help last")             << "--backup --restore --help" << QByteArray() << 0;
    QTest::newRow("both commands")         << "--backup --restore"        << bothCommands << 1;
    QTest::newRow("both, with stray words") << "now --restore x --backup" << bothCommands << 1;
    QTest::newRow("no arguments")          << ""                          << QByteArray() << 1;
    QTest::newRow("options, no command")   << "--backup-path /srv/b --delete" << QByteArray() << 1;
    QTest::newRow("command words without dashes") << "backup restore"     << QByteArray() << 1;
    QTest::newRow("flag with a value")     << "--backup=yes"              << QByteArray() << 1;
    // clang-format on
}

void tst_CommandLine::usage()
{
    QFETCH(QString, arguments);
    QFETCH(QByteArray, after);
    QFETCH(int, status);
    const ToolRun run = runRelative(arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    QCOMPARE(run.standardError, usageText + after);
    QCOMPARE(run.exitCode, status);
}

void tst_CommandLine::restoreWithoutPath_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no --backup-path") << words("--restore");
    QTest::newRow("empty after =") << words("--restore --backup-path=");
    QTest::newRow("empty next word") << (words("--restore --backup-path") << QString());
    QTest::newRow("value missing at the end") << words("--restore --backup-path");
    QTest::newRow("with --delete and stray words") << words("x --restore --delete y");
}

void tst_CommandLine::restoreWithoutPath()
{
    QFETCH(QStringList, arguments);
    const ToolRun run = runTool(arguments);
    QCOMPARE(run.lines,
             QStringList{QStringLiteral("[error] --backup-path argument is required with --restore.")});
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[error\\] "))
                 .match(QString::fromUtf8(run.standardError))
                 .hasMatch(),
             run.standardError.constData());
    QCOMPARE(run.exitCode, 1);
}

void tst_CommandLine::failedCommand_data()
{
    // "<tmp>" stands for a fresh folder holding an installation without configuration.
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("configFile");
    QTest::addColumn<QString>("lastLine");
    const QString backupFailed = QStringLiteral("[error] Vellacor backup process failed.");
    const QString restoreFailed = QStringLiteral("[error] Vellacor restore process failed.");
    // clang-format off
    QTest::newRow("backup")                  << "--backup"                 << "<tmp>/install/server/production.yaml" << backupFailed;
    QTest::newRow("backup, stray words")     << "now --backup please"      << "<tmp>/install/server/production.yaml" << backupFailed;
    QTest::newRow("backup, named config")    << "--backup --server-config <tmp>/mine.yaml" << "<tmp>/mine.yaml" << backupFailed;
    QTest::newRow("backup, config after =")  << "--server-config=<tmp>/mine.yaml --backup" << "<tmp>/mine.yaml" << backupFailed;
    QTest::newRow("restore")                 << "--restore --backup-path <tmp>/b" << "<tmp>/install/server/production.yaml" << restoreFailed;
    QTest::newRow("restore, path after =")   << "--backup-path=<tmp>/b --restore --delete" << "<tmp>/install/server/production.yaml" << restoreFailed;
    QTest::newRow("restore, named config")   << "--restore --backup-path <tmp>/b --server-config <tmp>/mine.yaml" << "<tmp>/mine.yaml" << restoreFailed;
    // clang-format on
}

void tst_CommandLine::failedCommand()
{
    QFETCH(QString, arguments);
    QFETCH(QString, configFile);
    QFETCH(QString, lastLine);
    QTemporaryDir tmp;
    QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
    QVERIFY(QDir().mkpath(tmp.filePath(QStringLiteral("install/server"))));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VELLACOR_ROOT"), tmp.filePath(QStringLiteral("install")));
    // The crash folder is made when a crash happens, not at start-up.
    const QString crashFolder = tmp.filePath(QStringLiteral("crashes"));
    QStringList args = arguments.replace(QStringLiteral("<tmp>"), tmp.path())
                           .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    args << QStringLiteral("--minidump-path") << crashFolder + QStringLiteral("/dumps");

    const ToolRun run = runTool(args, env);
    QVERIFY2(run.lines.contains(QStringLiteral("[error] Failed to read Vellacor server configuration from ")
                                + configFile.replace(QStringLiteral("<tmp>"), tmp.path())),
             run.standardError.constData());
    QCOMPARE(run.lines.last(), lastLine);
    QCOMPARE(run.exitCode, 2);
    QVERIFY(!QFileInfo::exists(crashFolder));
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_command_line.moc"
