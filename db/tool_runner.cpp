// Runs pg_dump and psql for one database and turns their failures into one error line.
#include "db/tool_runner.h"

#include "platform/brisken/trace.h"

#include <QProcess>
#include <QTextStream>

namespace {

const int defaultTimeoutMs = 120000;
// Enough to reap a child after SIGKILL; only an unkillable (D-state) child takes longer.
const int reapTimeoutMs = 30000;

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

} // namespace

bool runDatabaseTool(const QString& program, const QString& databaseUrl, const QString& sqlFile,
                     const QStringList& extraArguments)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(QStringList{QStringLiteral("-w"), QStringLiteral("-f"), sqlFile}
                         << extraArguments << databaseUrl);

    int errorCode = -1;
    // Direct, so the line is written inside start() or waitForFinished(), before judging.
    const QMetaObject::Connection errorConnection = QObject::connect(
        &process, &QProcess::errorOccurred, &process,
        [&errorCode, program](QProcess::ProcessError code) {
            processErrorHandler(errorCode, program, code);
        },
        Qt::DirectConnection);

    process.start(QIODevice::ReadWrite);
    const bool finished = process.waitForFinished(toolTimeoutMs());
    const QByteArray standardError = process.readAllStandardError();
    const bool succeeded = judgeRun(process, errorCode, finished, standardError);

    // The run has been judged: killing the child must add no "crashed" line, and it is reaped
    // here so that the destructor finds nothing running to warn about.
    QObject::disconnect(errorConnection);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(reapTimeoutMs);
    }
    return succeeded;
}

bool dumpPostgresDatabase(const QString& databaseUrl, const QString& sqlFile)
{
    return runDatabaseTool(QStringLiteral("pg_dump"), databaseUrl, sqlFile,
                           QStringList{QStringLiteral("-x")});
}
