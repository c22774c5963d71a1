// The command line of bw-vellacor-backups: one command and its options, then the exit status.
#include "companion/command_line.h"

#include "app/exit_status.h"
#include "companion/backup_scan.h"
#include "companion/commands.h"
#include "platform/brisken/trace.h"
#include "server/server_config.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>

#include <cstdio>

namespace {

const char* const usageText =
    "Usage: bw-vellacor-backups COMMAND [OPTIONS]\n"
    "Looks after the backups that bw-vellacor-ctl makes under the configured backup_root.\n"
    "\n"
    "  list [--json]                   every backup: time, version, components, size, state\n"
    "  verify PATH [--load-postgres]   check that the backup in PATH can be restored and reads\n"
    "                                  back whole; status 2 when it cannot\n"
    "  metrics [--output FILE | --textfile-folder FOLDER]\n"
    "                                  Prometheus metrics of the backups\n"
    "  prune [--keep N] [--dry-run]    remove all but the newest N complete backups\n"
    "  offsite [--keep-daily N] [--keep-weekly N] [--keep-monthly N] [--timeout SECONDS]\n"
    "                                  copy the newest complete backup into the restic\n"
    "                                  repository named by RESTIC_REPOSITORY\n"
    "\n"
    "Every command also takes --server-config FILE, and all but verify --backup-root FOLDER.\n"
    "--help shows this text. See bw-vellacor-backups(1).\n";

// The options of each command; a text option takes its value as the next argument or after
// "=".
struct OptionRule {
    const char* name;
    bool takesValue;
    const char* commands; // blank-separated
};

const OptionRule optionRules[] = {
    {"server-config", true, "list verify metrics prune offsite"},
    {"backup-root", true, "list metrics prune offsite"},
    {"json", false, "list"},
    {"load-postgres", false, "verify"},
    {"output", true, "metrics"},
    {"textfile-folder", true, "metrics"},
    {"keep", true, "prune"},
    {"dry-run", false, "prune"},
    {"keep-daily", true, "offsite"},
    {"keep-weekly", true, "offsite"},
    {"keep-monthly", true, "offsite"},
    {"timeout", true, "offsite"},
};

struct CommandLine {
    QString command;
    QMap<QString, QString> options; // a flag maps to an empty text
    QStringList operands;
};

ExitStatus usageError(const QString& problem)
{
    Brisken::Trace::error("%s", qUtf8Printable(problem));
    std::fputs(usageText, stderr);
    return ExitStatus::UsageError;
}

// The problem with the command line, or an empty text.
QString parse(const QStringList& arguments, CommandLine& line)
{
    static const QStringList commands{QStringLiteral("list"), QStringLiteral("verify"),
                                      QStringLiteral("metrics"), QStringLiteral("prune"),
                                      QStringLiteral("offsite")};
    if (arguments.isEmpty())
        return QStringLiteral("No command given");
    line.command = arguments.first();
    if (!commands.contains(line.command))
        return QStringLiteral("Unknown command %1").arg(line.command);
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (!argument.startsWith(QLatin1String("--"))) {
            line.operands << argument;
            continue;
        }
        const QString name = argument.mid(2).section(QLatin1Char('='), 0, 0);
        const OptionRule* rule = nullptr;
        for (const OptionRule& candidate : optionRules) {
            if (name == QLatin1String(candidate.name)
                && QString::fromLatin1(candidate.commands).split(QLatin1Char(' ')).contains(line.command))
                rule = &candidate;
        }
        if (!rule)
            return QStringLiteral("Unknown option %1 for %2").arg(argument, line.command);
        const bool hasEquals = argument.contains(QLatin1Char('='));
        if (!rule->takesValue && hasEquals)
            return QStringLiteral("Option --%1 takes no value").arg(name);
        if (rule->takesValue && !hasEquals && i + 1 >= arguments.size())
            return QStringLiteral("Option --%1 needs a value").arg(name);
        line.options.insert(name, !rule->takesValue ? QString()
                                  : hasEquals       ? argument.section(QLatin1Char('='), 1)
                                                    : arguments.at(++i));
    }
    const int operands = line.command == QLatin1String("verify") ? 1 : 0;
    if (line.operands.size() != operands)
        return operands ? QStringLiteral("verify needs the path of one backup")
                        : QStringLiteral("Unexpected argument %1").arg(line.operands.first());
    return QString();
}

// A whole number in [minimum, 999999999]; -1 otherwise.
int wholeNumber(const QString& text, int minimum)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
    const int value = digits.match(text).hasMatch() ? text.toInt() : -1;
    return value >= minimum ? value : -1;
}

// N of prune: --keep, else BW_VELLACOR_KEEP_BACKUPS from the environment or, when that is not
// set, from the nightly backup's settings file; 7 when none gives one.
QString keepText(const CommandLine& line)
{
    if (line.options.contains(QStringLiteral("keep")))
        return line.options.value(QStringLiteral("keep"));
    const char* variable = "BW_VELLACOR_KEEP_BACKUPS";
    QString text = qEnvironmentVariable(variable);
    if (!qEnvironmentVariableIsSet(variable)) {
        QFile settings(QStringLiteral(BWV_DEFAULTS_FILE));
        static const QRegularExpression setting(QStringLiteral("^\\s*BW_VELLACOR_KEEP_BACKUPS=(.*)$"));
        if (settings.open(QIODevice::ReadOnly)) {
            for (const QByteArray& raw : settings.readAll().split('\n')) {
                const QRegularExpressionMatch match = setting.match(QString::fromUtf8(raw));
                if (match.hasMatch())
                    text = match.captured(1).remove(QRegularExpression(QStringLiteral("[\"'\\s]")));
            }
        }
    }
    return text.isEmpty() ? QStringLiteral("7") : text;
}

// A whole number option of offsite, its default from the environment variable.
int offsiteNumber(const CommandLine& line, const char* option, const char* variable,
                  int defaultValue, int minimum)
{
    QString text = line.options.value(QLatin1String(option), qEnvironmentVariable(variable));
    return text.isEmpty() ? defaultValue : wholeNumber(text, minimum);
}

bool runMetrics(const QString& root, const CommandLine& line)
{
    if (!line.options.contains(QStringLiteral("textfile-folder")))
        return writeMetrics(root, line.options.value(QStringLiteral("output")));
    // Without the folder there is no node_exporter to read the file.
    const QString folder = line.options.value(QStringLiteral("textfile-folder"));
    if (!QFileInfo(folder).isDir()) {
        Brisken::Trace::info("No folder %s: the metrics are not written", qUtf8Printable(folder));
        return true;
    }
    return writeMetrics(root, folder + QStringLiteral("/bw_vellacor_backup.prom"));
}

ExitStatus run(const CommandLine& line)
{
    const auto result = [](bool succeeded) {
        return succeeded ? ExitStatus::Success : ExitStatus::CommandFailed;
    };
    ServerConfig config;
    const QString serverConfigPath = line.options.value(QStringLiteral("server-config"));
    if (line.command == QLatin1String("verify")) {
        if (!config.readServerConfiguration(serverConfigPath))
            return ExitStatus::CommandFailed;
        return result(verifyBackup(config, line.operands.first(),
                                   line.options.contains(QStringLiteral("load-postgres"))));
    }

    int keep = 0;
    KeepPolicy policy;
    int timeoutS = 86400;
    if (line.command == QLatin1String("prune") && (keep = wholeNumber(keepText(line), 1)) < 0)
        return usageError(QStringLiteral("The number of backups to keep must be a whole number "
                                         "of at least 1, not '%1'")
                              .arg(keepText(line)));
    if (line.command == QLatin1String("offsite")) {
        policy.daily = offsiteNumber(line, "keep-daily", "BW_VELLACOR_OFFSITE_KEEP_DAILY", 7, 0);
        policy.weekly = offsiteNumber(line, "keep-weekly", "BW_VELLACOR_OFFSITE_KEEP_WEEKLY", 4, 0);
        policy.monthly =
            offsiteNumber(line, "keep-monthly", "BW_VELLACOR_OFFSITE_KEEP_MONTHLY", 6, 0);
        timeoutS = offsiteNumber(line, "timeout", "BW_VELLACOR_OFFSITE_TIMEOUT_S", 86400, 1);
        if (policy.daily < 0 || policy.weekly < 0 || policy.monthly < 0
            || policy.daily + policy.weekly + policy.monthly == 0 || timeoutS < 0
            || timeoutS > 2000000)
            return usageError(QStringLiteral("The keep counts must be whole numbers, not all 0, "
                                             "and the timeout 1 to 2000000 seconds"));
    }

    const QString root = findBackupRoot(config, line.options.value(QStringLiteral("backup-root")),
                                        serverConfigPath);
    if (root.isNull())
        return ExitStatus::CommandFailed;
    if (line.command == QLatin1String("list"))
        return result(listBackups(root, line.options.contains(QStringLiteral("json"))));
    if (line.command == QLatin1String("metrics"))
        return result(runMetrics(root, line));
    if (line.command == QLatin1String("prune"))
        return result(
            pruneBackups(root, keep, line.options.contains(QStringLiteral("dry-run"))));
    return result(copyOffsite(root, policy, timeoutS));
}

} // namespace

int runCompanion(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QStringList arguments = application.arguments().mid(1);
    if (arguments.contains(QStringLiteral("--help"))) {
        std::fputs(usageText, stdout);
        return int(ExitStatus::Success);
    }
    Brisken::Trace::initialize(Brisken::Trace::ToStandardError | Brisken::Trace::WithTimestamp);
    CommandLine line;
    const QString problem = parse(arguments, line);
    if (!problem.isEmpty())
        return int(usageError(problem));
    return int(run(line));
}
