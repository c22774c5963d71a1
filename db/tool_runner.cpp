// Runs pg_dump and psql for one database and turns their failures into one error line.
#include "db/tool_runner.h"

#include "platform/brisken/trace.h"
#include "platform/vellacor/vellacor.h"
#include "report/progress.h"
#include "report/size_text.h"
#include "sys/child_process.h"
#include "sys/interrupt.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTextStream>
#include <QVariant>

#include <functional>

namespace {

const int defaultTimeoutMs = 120000;
// Enough to reap a child after SIGKILL; only an unkillable (D-state) child takes longer.
const int reapTimeoutMs = 30000;
// How often a wait for a child looks for a stop request and at the child's file.
const int stopCheckMs = 50;
// The children's database sessions carry it, so that the tool can find them.
const char* const applicationName = "bw-vellacor-ctl";

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
        Brisken::Trace::warning(
            "%s made no progress for %d s (the limit is set with BW_VELLACOR_TOOL_TIMEOUT_MS)",
            qUtf8Printable(process.program()), qRound(toolTimeoutMs() / 1000.0));
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
// kernel shows it in /proc. -1 while it cannot be seen. descriptor keeps the one found.
qint64 readPosition(qint64 pid, const QString& file, QString& descriptor)
{
    const QString folder = QStringLiteral("/proc/%1/").arg(pid);
    const QString links = folder + QStringLiteral("fd/");
    // The one found earlier may have been closed since, or opened again on something else.
    if (descriptor.isEmpty() || QFile::symLinkTarget(links + descriptor) != file) {
        descriptor.clear();
        // Files: a link to the dump; System: those to pipes, sockets and devices.
        for (const QString& fd : QDir(links).entryList(QDir::Files | QDir::System)) {
            if (QFile::symLinkTarget(links + fd) == file)
                descriptor = fd;
        }
    }
    QFile info(folder + QStringLiteral("fdinfo/") + descriptor);
    if (descriptor.isEmpty() || !info.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray position = info.readLine();
    return position.startsWith("pos:") ? position.mid(4).trimmed().toLongLong() : -1;
}

// Tells whether pg_dump or psql is getting anywhere: pg_dump's dump file grows, psql's read
// position in it moves, or the child's database session runs a statement that waits for no
// lock, or has begun another since the last look (an index build reads nothing from the file).
// The session is looked at only while the file stands still, at most once a second (four
// times per limit when that is shorter), over a connection of the tool's own; where none can
// be made, the file alone counts.
class ProgressWatch {
public:
    ProgressWatch(const QProcess& process, const QString& sqlFile, const QString& databaseUrl,
                  int limitMs)
        : m_process(process), m_sqlFile(sqlFile), m_databaseUrl(databaseUrl),
          m_writes(process.program() == QLatin1String("pg_dump")),
          m_pollMs(qBound(10, limitMs / 4, 1000))
    {
        // /proc names the file the descriptor has open with every link resolved.
        const QFileInfo info(sqlFile);
        m_openedFile = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
        m_sinceSessionLook.start();
    }

    ~ProgressWatch()
    {
        const QString name = m_session.connectionName();
        m_session = QSqlDatabase();
        if (!name.isEmpty())
            QSqlDatabase::removeDatabase(name);
    }

    // Bytes written or read so far; -1 while unknown.
    qint64 position() const { return m_position; }

    // Looks again: true when the child moved since the last look.
    bool moved()
    {
        const qint64 position = m_writes ? QFileInfo(m_sqlFile).size()
                                         : readPosition(m_process.processId(), m_openedFile,
                                                        m_descriptor);
        // Any change: the descriptor seen first may have been another one on the same file.
        if (position >= 0 && position != m_position) {
            m_position = position;
            return true;
        }
        return sessionActive();
    }

private:
    bool sessionActive()
    {
        if (m_noSession || m_sinceSessionLook.elapsed() < m_pollMs)
            return false;
        if (!m_session.isValid()) {
            m_session = Vellacor::DatabaseManager::connection(
                Vellacor::DB::rewriteServerUrl(m_databaseUrl));
            m_noSession = !m_session.isOpen();
        }
        // Running now, or begun another statement since the last look: a session that runs
        // many short statements is seldom caught running one.
        QSqlQuery query(m_session);
        bool active = false;
        if (!m_noSession
            && query.exec(QStringLiteral(
                "SELECT count(*) FILTER (WHERE state = 'active'"
                "                          AND wait_event_type IS DISTINCT FROM 'Lock'),"
                "       CAST(max(query_start) AS text) FROM pg_stat_activity"
                " WHERE application_name = '%1' AND datname = current_database()"
                "  AND pid <> pg_backend_pid()")
                              .arg(QLatin1String(applicationName)))
            && query.next()) {
            const QString latestStart = query.value(1).toString();
            active = query.value(0).toInt() > 0 || latestStart != m_latestStart;
            m_latestStart = latestStart;
        }
        m_sinceSessionLook.restart();
        return active;
    }

    const QProcess& m_process;
    const QString m_sqlFile;
    const QString m_databaseUrl;
    const bool m_writes;
    const int m_pollMs;
    QString m_openedFile;
    QString m_descriptor;
    qint64 m_position = -1;
    QSqlDatabase m_session;
    bool m_noSession = false;
    QString m_latestStart; // of the child's statements, as the server last showed it
    QElapsedTimer m_sinceSessionLook;
};

// The progress line of a run: bytes pg_dump has written, or how far psql has read.
void showProgress(Progress& progress, const QString& program, const QString& sqlFile,
                  qint64 position)
{
    if (!progress.isActive() || position < 0)
        return;
    if (program == QLatin1String("pg_dump")) {
        progress.update(position,
                        [&] { return formatSize(position) + QStringLiteral(" written"); });
        return;
    }
    const qint64 size = QFileInfo(sqlFile).size();
    if (size > 0)
        progress.update(position, [&] {
            return QStringLiteral("%1% of %2 read")
                .arg(position * 100 / size)
                .arg(formatSize(size));
        });
}

// Waits for the child while it makes progress: the time limit counts only the time since
// moved() last saw some (without it, all the time). With OnStop::KillChild a stop request
// ends the wait early (stopped is then true); otherwise the child is left to finish.
bool waitForChild(QProcess& process, OnStop onStop, bool& stopped,
                  const std::function<bool()>& moved = {})
{
    const qint64 limitMs = toolTimeoutMs();
    QElapsedTimer idle;
    idle.start();
    for (;;) {
        // A last look before the limit is judged, so a child never loses by the poll's phase.
        if (moved && moved())
            idle.restart();
        const qint64 remainingMs = limitMs - idle.elapsed();
        if (remainingMs <= 0)
            return false;
        if (process.waitForFinished(int(qMin<qint64>(remainingMs, stopCheckMs))))
            return true;
        if (process.state() == QProcess::NotRunning)
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
    // A URL's own application_name still wins; then the file alone shows progress.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PGAPPNAME"), QLatin1String(applicationName));
    process.setProcessEnvironment(environment);

    int errorCode = -1;
    Progress progress(program == QLatin1String("pg_dump") ? "pg_dump" : "psql");
    const QMetaObject::Connection errorConnection =
        reportErrors(process, errorCode, program, &progress);
    process.start(QIODevice::ReadWrite);
    bool stopped = false;
    ProgressWatch watch(process, sqlFile, databaseUrl, toolTimeoutMs());
    const bool finished = waitForChild(process, onStop, stopped, [&] {
        const bool moved = watch.moved();
        showProgress(progress, program, sqlFile, watch.position());
        return moved;
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
