// Runs pg_dump and psql for one database and turns their failures into one error line.
#include "db/tool_runner.h"

#include "platform/brisken/trace.h"
#include "report/progress.h"
#include "report/size_text.h"
#include "sys/child_process.h"
#include "sys/interrupt.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>

#include <functional>

namespace {

const int defaultTimeoutMs = 120000;
// Enough to reap a child after SIGKILL; only an unkillable (D-state) child takes longer.
const int reapTimeoutMs = 30000;
// How often a wait for a child looks for a stop request.
const int stopCheckMs = 50;

int toolTimeoutMs()
{
    const QByteArray value = qgetenv("BW_VELLACOR_TOOL_TIMEOUT_MS");
    if (value.isEmpty())
        return defaultTimeoutMs;
    for (const char c : value)
        if (c < '0' || c > '9')
            return defaultTimeoutMs;
    bool ok = false;
    const int timeoutMs = value.toInt(&ok, 10);
    return ok && timeoutMs > 0 ? timeoutMs : defaultTimeoutMs;
}

QString errorText(QProcess::ProcessError code, const QString& program)
{
    switch (code) {
    case QProcess::FailedToStart:
        return QStringLiteral("Could not start ") + program;
    case QProcess::Crashed:
        return program + QStringLiteral(" crashed");
    case QProcess::Timedout:
        return program + QStringLiteral(" timed out");
    default:
        return QString::number(int(code));
    }
}

void processErrorHandler(int& errorCode, const QString& program, QProcess::ProcessError code)
{
    errorCode = int(code);
    Brisken::Trace::error("Error: %s", qUtf8Printable(errorText(code, program)));
}

// Every non-empty line that does not mention plpgsql counts; psql reports failed
// statements only this way, with exit code 0.
bool hasErrorLine(const QByteArray& standardError)
{
    QString text = QString::fromUtf8(standardError);
    QTextStream stream(&text, QIODevice::ReadOnly);
    bool found = false;
    while (!stream.atEnd()) {
        const QString line = stream.readLine();
        if (!line.isEmpty() && !line.contains(QLatin1String("plpgsql")))
            found = true;
    }
    return found;
}

bool judgeRun(const QProcess& process, int errorCode, bool finished,
              const QByteArray& standardError)
{
    if (errorCode >= 0)
        return false; // the handler has said why
    if (hasErrorLine(standardError)) {
        Brisken::Trace::error("There were errors when running %s: %s",
                              qUtf8Printable(process.program()), standardError.constData());
        return false;
    }
    if (process.exitCode() != 0) {
        Brisken::Trace::error("%s failed, exit code %d", qUtf8Printable(process.program()),
                              process.exitCode());
        return false;
    }
    if (!finished) {
        Brisken::Trace::error("Could not run %s to store SQL", qUtf8Printable(process.program()));
        return false;
    }
    return true;
}

// Connects the error notification directly, so the line is written inside start() or a wait,
// before the run is judged. The returned connection is cut before the child is killed.
QMetaObject::Connection reportErrors(QProcess& process, int& errorCode, const QString& program,
                                     Progress* progress = nullptr)
{
    return QObject::connect(
        &process, &QProcess::errorOccurred, &process,
        [&errorCode, program, progress](QProcess::ProcessError code) {
            if (progress)
                progress->clear();
            processErrorHandler(errorCode, program, code);
        },
        Qt::DirectConnection);
}

// How far psql has read its file: the position of the descriptor that has it open, as the
// kernel shows it in /proc. -1 while it cannot be seen.
qint64 readPosition(qint64 pid, const QString& file, QString& descriptorPath)
{
    const QString folder = QStringLiteral("/proc/%1/").arg(pid);
    if (descriptorPath.isEmpty()) {
        for (const QString& fd : QDir(folder + QStringLiteral("fd")).entryList(QDir::System)) {
            if (QFile::symLinkTarget(folder + QStringLiteral("fd/") + fd) == file)
                descriptorPath = folder + QStringLiteral("fdinfo/") + fd;
        }
    }
    QFile info(descriptorPath);
    if (descriptorPath.isEmpty() || !info.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray position = info.readLine();
    return position.startsWith("pos:") ? position.mid(4).trimmed().toLongLong() : -1;
}

// The progress line of a run: bytes pg_dump has written, or how far psql has read.
void showProgress(Progress& progress, const QProcess& process, const QString& sqlFile,
                  QString& descriptorPath)
{
    if (!progress.isActive())
        return;
    if (process.program() == QLatin1String("pg_dump")) {
        const qint64 written = QFileInfo(sqlFile).size();
        progress.update(written, [&] { return formatSize(written) + QStringLiteral(" written"); });
        return;
    }
    const QString file = QFileInfo(sqlFile).absoluteFilePath();
    const qint64 position = readPosition(process.processId(), file, descriptorPath);
    const qint64 size = QFileInfo(sqlFile).size();
    if (position >= 0 && size > 0)
        progress.update(position, [&] {
            return QStringLiteral("%1% of %2 read").arg(position * 100 / size).arg(formatSize(size));
        });
}

// Waits for the child within the time limit. With OnStop::KillChild a stop request ends the
// wait early (stopped is then true); otherwise the child is left to finish.
bool waitForChild(QProcess& process, OnStop onStop, bool& stopped,
                  const std::function<void()>& tick = {})
{
    const QDeadlineTimer deadline(toolTimeoutMs());
    for (;;) {
        if (tick)
            tick();
        const qint64 remainingMs = deadline.remainingTime();
        if (process.waitForFinished(int(qMin<qint64>(remainingMs, stopCheckMs))))
            return true;
        if (process.state() == QProcess::NotRunning || deadline.hasExpired())
            return false;
        if (onStop == OnStop::KillChild && Interrupt::requested()) {
            stopped = true;
            return false;
        }
    }
}

// Kills and reaps a child that is still running; the error handler must be disconnected, so
// that no "crashed" line follows a run that has already been judged.
void endChild(QProcess& process)
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(reapTimeoutMs);
    }
}

} // namespace

bool runDatabaseTool(const QString& program, const QString& databaseUrl, const QString& sqlFile,
                     const QStringList& extraArguments, OnStop onStop)
{
    ChildProcess process;
    process.setProgram(program);
    process.setArguments(QStringList{QStringLiteral("-w"), QStringLiteral("-f"), sqlFile}
                         << extraArguments << databaseUrl);

    int errorCode = -1;
    Progress progress(program == QLatin1String("pg_dump") ? "pg_dump" : "psql");
    const QMetaObject::Connection errorConnection =
        reportErrors(process, errorCode, program, &progress);
    process.start(QIODevice::ReadWrite);
    bool stopped = false;
    QString descriptorPath;
    const bool finished = waitForChild(process, onStop, stopped, [&] {
        showProgress(progress, process, sqlFile, descriptorPath);
    });
    progress.clear();
    if (stopped) {
        // The caller reports the interruption; the child's end is no failure of its own.
        QObject::disconnect(errorConnection);
        endChild(process);
        return false;
    }
    const QByteArray standardError = process.readAllStandardError();
    const bool succeeded = judgeRun(process, errorCode, finished, standardError);

    QObject::disconnect(errorConnection);
    endChild(process);
    return succeeded;
}

bool dumpPostgresDatabase(const QString& databaseUrl, const QString& sqlFile)
{
    return runDatabaseTool(QStringLiteral("pg_dump"), databaseUrl, sqlFile,
                           QStringList{QStringLiteral("-x")}, OnStop::KillChild);
}

QString toolVersion(const QString& program)
{
    ChildProcess process;
    process.setProgram(program);
    process.setArguments(QStringList{QStringLiteral("--version")});
    int errorCode = -1;
    const QMetaObject::Connection errorConnection = reportErrors(process, errorCode, program);
    process.start(QIODevice::ReadOnly);
    bool stopped = false;
    const bool finished = waitForChild(process, OnStop::Finish, stopped);
    const QByteArray output = process.readAllStandardOutput();
    const bool succeeded = judgeRun(process, errorCode, finished, process.readAllStandardError());
    QObject::disconnect(errorConnection);
    endChild(process);
    if (!succeeded)
        return QString();

    static const QRegularExpression number(QStringLiteral("\\b(\\d+(?:\\.\\d+)*)"));
    const QRegularExpressionMatch match = number.match(QString::fromUtf8(output));
    if (!match.hasMatch()) {
        Brisken::Trace::error("%s printed no version: %s", qUtf8Printable(program),
                              output.trimmed().constData());
        return QString();
    }
    return match.captured(1);
}
