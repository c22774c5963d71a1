// Declares and parses the options, then runs one command and turns its result into a status.
#include "app/command_line.h"

#include "app/exit_status.h"
#include "backup/backup_procedure.h"
#include "backup/components.h"
#include "backup/restore_procedure.h"
#include "platform/brisken/crash_handler.h"
#include "platform/brisken/trace.h"
#include "platform/keelwork/options.h"
#include "platform/vellacor/vellacor.h"
#include "server/server_config.h"
#include "sys/interrupt.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>

#include <algorithm>

namespace {

const char* const programName = "bw-vellacor-ctl";
const char* const defaultUploadUrl =
    "https://crash-reports.brantwell.com/crash-reports/upload-crash-dump";

const char* const usageLines[] = {
    "--help               Show this help.",
    "--backup             Create a backup of Vellacor data. If backup-path is not defined, the "
    "backup is",
    "                     saved to a subfolder in backup root defined in Vellacor server "
    "configuration.",
    "  --backup-path      (optional) Define a folder where the backup is saved. Unless --delete "
    "is defined,",
    "                     the backup will fail if the folder contains any existing Vellacor data.",
    "  --backup-skip      (optional) a comma-separated list of components to exlude from the "
    "backup. Options:",
    "                     db - The main Vellacor database",
    "                     reporting - The Vellacor data gathering and reporting database",
    "                     assets - The contents of Vellacor media library",
    "  --delete           (optional) If defined, backup process will delete existing Vellacor "
    "data in --backup-path.",
    "--restore            Restore a backup of Vellacor data in backup-path. Existing Vellacor "
    "data is removed",
    "                     and replaced with data in the backup.",
    "  --backup-path      Path to folder containing Vellacor backup data to restore.",
    "  --restore-skip     (optional) a comma-separated list of components to exlude from the "
    "restore. Options:",
    "                     db - The main Vellacor database",
    "                     reporting - The Vellacor data gathering and reporting database",
    "                     assets - The contents of Vellacor media library",
};

QStringList splitSkipList(const QString& text)
{
    // Items are not trimmed: " db" names no component, and that is the administrator's text.
    return text.split(QLatin1Char(','), Qt::KeepEmptyParts, Qt::CaseSensitive);
}

const char* const skipOptions[] = {"backup-skip", "restore-skip"};

// What the command ignores is said, in the order of the command line: each word that names no
// option, and each skip entry that names no component (in the value that counts, the last).
// The words are walked by the parser's rules: a text option takes the next word unless its
// value follows "=", a flag takes none.
void warnAboutIgnoredWords(int argc, char** argv, const Keelwork::Node& node)
{
    QList<QPair<int, QByteArray>> warnings; // by the position of the word
    int skipAt[2] = {-1, -1};
    QString skipValue[2];
    for (int i = 1; i < argc; ++i) {
        const QByteArray word(argv[i]);
        const int equals = word.indexOf('=');
        const QByteArray name = word.mid(2, equals < 0 ? -1 : equals - 2);
        const Keelwork::AttributeBase* option = word.startsWith("--") ? node.find(name) : nullptr;
        if (!option || (option->isFlag() && equals >= 0)) {
            warnings << qMakePair(i, "Ignoring unknown argument " + word);
            continue;
        }
        if (option->isFlag() || (equals < 0 && i + 1 == argc))
            continue;
        const int at = i;
        const QByteArray value = equals >= 0 ? word.mid(equals + 1) : QByteArray(argv[++i]);
        for (int k = 0; k < 2; ++k) {
            if (name == skipOptions[k]) {
                skipAt[k] = at;
                skipValue[k] = QFile::decodeName(value);
            }
        }
    }
    for (int k = 0; k < 2; ++k) {
        for (const QString& entry : splitSkipList(skipValue[k])) {
            if (!entry.isEmpty() && !findComponent(entry))
                warnings << qMakePair(skipAt[k], "Ignoring unknown component " + entry.toUtf8()
                                                     + " in --" + skipOptions[k]
                                                     + " (the components are db, reporting, assets)");
        }
    }
    std::stable_sort(warnings.begin(), warnings.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& warning : warnings)
        Brisken::Trace::warning("%s", warning.second.constData());
}

ExitStatus runBackup(ServerConfig& config, const QString& backupPath, const QString& skip,
                     const QString& serverConfigPath, bool deleteExisting, bool dryRun)
{
    if (createBackup(config, backupPath, splitSkipList(skip), serverConfigPath, deleteExisting,
                     dryRun))
        return ExitStatus::Success;
    Brisken::Trace::error("Vellacor backup process failed.");
    return ExitStatus::CommandFailed;
}

ExitStatus runRestore(ServerConfig& config, const QString& backupPath, const QString& skip,
                      const QString& serverConfigPath, bool dryRun)
{
    if (backupPath.isEmpty()) {
        Brisken::Trace::error("--backup-path argument is required with --restore.");
        return ExitStatus::UsageError;
    }
    if (restoreBackup(config, backupPath, splitSkipList(skip), serverConfigPath, dryRun))
        return ExitStatus::Success;
    Brisken::Trace::error("Vellacor restore process failed.");
    return ExitStatus::CommandFailed;
}

} // namespace

void printUsage(char** argv)
{
    qInfo() << "BW Vellacor control tool";
    qInfo() << "Usage: " << argv[0] << " <command> <options>";
    for (const char* line : usageLines)
        qInfo() << line;
}

int runCommandLine(int argc, char** argv)
{
    QCoreApplication application(argc, argv);

    Keelwork::Node node;
    Keelwork::AttributeT<bool> backup(&node, "backup", false);
    Keelwork::AttributeT<bool> restore(&node, "restore", false);
    Keelwork::AttributeT<QString> backupPath(&node, "backup-path", QString());
    Keelwork::AttributeT<QString> backupSkip(&node, "backup-skip", QString());
    Keelwork::AttributeT<QString> restoreSkip(&node, "restore-skip", QString());
    Keelwork::AttributeT<bool> deleteExisting(&node, "delete", false);
    Keelwork::AttributeT<bool> help(&node, "help", false);
    Keelwork::AttributeT<QString> minidumpPath(&node, "minidump-path",
                                               Brisken::CrashHandler::defaultMinidumpPath());
    Keelwork::AttributeT<QString> minidumpUploadUrl(&node, "minidump-upload-url",
                                                    QString::fromLatin1(defaultUploadUrl));
    Keelwork::AttributeT<QString> serverConfigPath(&node, "server-config", QString());
    // Not in the usage text, whose lines are fixed; the manual describes it.
    Keelwork::AttributeT<bool> dryRun(&node, "dry-run", false);

    // Words that name no option are ignored.
    Keelwork::CmdParser::parse(argc, argv, node);

    if (help) {
        printUsage(argv);
        return int(ExitStatus::Success);
    }
    if (backup && restore) {
        printUsage(argv);
        qInfo() << "Cannot define both --backup and --restore, choose one please.";
        return int(ExitStatus::UsageError);
    }
    if (!backup && !restore) {
        printUsage(argv);
        return int(ExitStatus::UsageError);
    }

    Brisken::CrashHandler::init(QString::fromLatin1(programName), minidumpUploadUrl,
                                minidumpPath);
    Brisken::CrashHandler::setAnnotation("bw-vellacor-version",
                                         Vellacor::Vellacor::version().toUtf8());
    Brisken::Trace::initialize(Brisken::Trace::ToStandardError | Brisken::Trace::WithTimestamp);
    warnAboutIgnoredWords(argc, argv, node);
    // From here SIGINT, SIGTERM and SIGHUP stop a command at its next safe point.
    Interrupt::install();

    // Destroyed on every way out, which resumes a server left suspended by a failed backup.
    ServerConfig config;
    const ExitStatus status =
        backup ? runBackup(config, backupPath, backupSkip, serverConfigPath, deleteExisting, dryRun)
               : runRestore(config, backupPath, restoreSkip, serverConfigPath, dryRun);
    return int(status);
}
