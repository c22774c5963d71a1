// The offsite copy: the newest complete backup goes into a restic repository, which keeps
// the nights apart as snapshots, shares unchanged data between them and encrypts it.
#include "companion/backup_scan.h"
#include "companion/commands.h"

#include "fs/folder_ops.h"
#include "platform/brisken/trace.h"
#include "sys/child_process.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// Every snapshot this program makes carries it: forget only ever looks at these.
const QString snapshotTag = QStringLiteral("bw-vellacor-backup");
// Short commands (cat, init, snapshots) need no longer than this even on a slow remote.
const int shortRunS = 600;

struct ResticRun {
    QByteArray output;
    int exitCode = -1;
    QString failure; // why the run failed, one line; empty when it ended with exit code 0
};

// restic's reason in one line: its "Fatal:" lines, else the last line it wrote.
QString resticReason(const QByteArray& standardError, int exitCode)
{
    QStringList fatal;
    QString last;
    for (const QByteArray& line : standardError.split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (text.startsWith(QLatin1String("Fatal: ")))
            fatal << text.mid(7);
        if (!text.isEmpty())
            last = text;
    }
    if (!fatal.isEmpty())
        return fatal.join(QLatin1String("; "));
    return last.isEmpty() ? QStringLiteral("exit code %1").arg(exitCode) : last;
}

// Runs restic with arguments (no shell) in folder, waiting at most timeoutS seconds. Its
// standard input is empty, so it never waits for a password on a terminal, and it ends with
// this program.
ResticRun runRestic(const QStringList& arguments, int timeoutS, const QString& folder = QString())
{
    ResticRun run;
    ChildProcess process;
    process.setProgram(QStringLiteral("restic"));
    process.setArguments(arguments);
    process.setWorkingDirectory(folder);
    process.start();
    if (!process.waitForStarted()) {
        run.failure = QStringLiteral("could not start restic (%1); install the restic package")
                          .arg(process.errorString());
        return run;
    }
    if (!process.waitForFinished(timeoutS * 1000)) {
        process.kill();
        process.waitForFinished();
        run.failure = QStringLiteral("it did not finish within %1 s and was stopped").arg(timeoutS);
        return run;
    }
    run.output = process.readAllStandardOutput();
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (process.exitStatus() != QProcess::NormalExit)
        run.failure = QStringLiteral("restic crashed");
    else if (run.exitCode != 0)
        run.failure = resticReason(process.readAllStandardError(), run.exitCode);
    return run;
}

bool reportFailure(const char* command, const ResticRun& run)
{
    Brisken::Trace::error("restic %s failed: %s", command, qUtf8Printable(run.failure));
    return false;
}

// The repository exists, or is created now. restic says "Is there a repository at the
// following location?" (and newer versions exit with 10) when there is none.
bool openRepository()
{
    const ResticRun config = runRestic({QStringLiteral("cat"), QStringLiteral("config")}, shortRunS);
    if (config.failure.isEmpty())
        return true;
    if (config.exitCode != 10 && !config.failure.contains(QLatin1String("unable to open config")))
        return reportFailure("cat config", config);
    const ResticRun init = runRestic({QStringLiteral("init")}, shortRunS);
    if (!init.failure.isEmpty())
        return reportFailure("init", init);
    Brisken::Trace::info("Created the restic repository %s",
                         qUtf8Printable(qEnvironmentVariable("RESTIC_REPOSITORY")));
    return true;
}

// The newest snapshot of ours: the parent of the next one, whatever folder it came from, so
// that restic reads only the files that changed.
QString newestSnapshot(int timeoutS)
{
    const ResticRun run = runRestic({QStringLiteral("snapshots"), QStringLiteral("--json"),
                                     QStringLiteral("--tag"), snapshotTag},
                                    qMin(timeoutS, shortRunS));
    QString newest;
    QString newestTime;
    for (const QJsonValue& snapshot : QJsonDocument::fromJson(run.output).array()) {
        const QString time = snapshot[QStringLiteral("time")].toString();
        if (time >= newestTime) {
            newestTime = time;
            newest = snapshot[QStringLiteral("id")].toString();
        }
    }
    return newest;
}

} // namespace

bool copyOffsite(const QString& root, const KeepPolicy& policy, int timeoutS)
{
    if (qEnvironmentVariableIsEmpty("RESTIC_REPOSITORY")
        && qEnvironmentVariableIsEmpty("RESTIC_REPOSITORY_FILE")) {
        Brisken::Trace::error("No restic repository is named: set RESTIC_REPOSITORY (or "
                              "RESTIC_REPOSITORY_FILE) and RESTIC_PASSWORD_FILE");
        return false;
    }
    const BackupEntry backup = newestComplete(findBackups(root));
    if (backup.path.isEmpty()) {
        Brisken::Trace::error("No complete backup under %s to copy offsite", qUtf8Printable(root));
        return false;
    }
    if (!openRepository())
        return false;

    // Only the backup's own entries, named relative to its folder: a restored snapshot is
    // then a backup folder itself. ctime is ignored because hard-linking an unchanged file
    // into the next night's backup changes it.
    QStringList arguments{QStringLiteral("backup"),
                          QStringLiteral("--json"),
                          QStringLiteral("--quiet"),
                          QStringLiteral("--tag"),
                          snapshotTag,
                          QStringLiteral("--ignore-ctime"),
                          QStringLiteral("--time"),
                          QDateTime::fromMSecsSinceEpoch(backup.timeMs)
                              .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))};
    const QString parent = newestSnapshot(timeoutS);
    if (!parent.isEmpty())
        arguments << QStringLiteral("--parent") << parent;
    arguments << QStringLiteral("--");
    for (const QFileInfo& entry : listEntries(backup.path)) {
        if (backupEntryNames().contains(entry.fileName(), Qt::CaseSensitive))
            arguments << entry.fileName();
    }
    const ResticRun run = runRestic(arguments, timeoutS, backup.path);
    if (!run.failure.isEmpty())
        return reportFailure("backup", run);
    QJsonObject summary;
    for (const QByteArray& line : run.output.split('\n')) {
        const QJsonObject message = QJsonDocument::fromJson(line).object();
        if (message.value(QStringLiteral("message_type")).toString() == QLatin1String("summary"))
            summary = message;
    }
    Brisken::Trace::info("Copied %s offsite as restic snapshot %s (%lld bytes added)",
                         qUtf8Printable(backup.path),
                         qUtf8Printable(summary.value(QStringLiteral("snapshot_id")).toString()),
                         qint64(summary.value(QStringLiteral("data_added")).toDouble()));

    // Grouped by host and tag: every night's folder has another name, and grouped by paths
    // each snapshot would be a group of its own that forget keeps.
    const ResticRun forget = runRestic(
        {QStringLiteral("forget"), QStringLiteral("--quiet"), QStringLiteral("--prune"),
         QStringLiteral("--tag"), snapshotTag, QStringLiteral("--group-by"),
         QStringLiteral("host,tags"), QStringLiteral("--keep-daily"),
         QString::number(policy.daily), QStringLiteral("--keep-weekly"),
         QString::number(policy.weekly), QStringLiteral("--keep-monthly"),
         QString::number(policy.monthly)},
        timeoutS);
    if (!forget.failure.isEmpty())
        return reportFailure("forget", forget);
    Brisken::Trace::info("Kept the restic snapshots of the last %d days, %d weeks and %d months",
                         policy.daily, policy.weekly, policy.monthly);
    return true;
}
