// Helpers shared by the tests: capturing trace lines, running the built tool, fixture trees.
#include "tests/support/test_support.h"

#include "platform/brisken/trace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

TraceCapture::TraceCapture()
{
    QTemporaryFile file(QDir::tempPath() + QStringLiteral("/bwv-trace-XXXXXX"));
    file.setAutoRemove(false);
    if (file.open())
        m_filePath = file.fileName();
    file.close();
    const int fd = ::open(QFile::encodeName(m_filePath).constData(), O_WRONLY | O_TRUNC);
    if (fd >= 0) {
        m_savedStderr = ::dup(STDERR_FILENO);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    Brisken::Trace::initialize(Brisken::Trace::ToStandardError);
}

TraceCapture::~TraceCapture()
{
    Brisken::Trace::initialize(0u);
    if (m_savedStderr >= 0) {
        ::dup2(m_savedStderr, STDERR_FILENO);
        ::close(m_savedStderr);
    }
    QFile::remove(m_filePath);
}

QStringList TraceCapture::lines() const
{
    QString text = QString::fromUtf8(readFile(m_filePath));
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

namespace {

ToolRun runProgram(const QString& program, const QStringList& arguments,
                   const QProcessEnvironment& environment, const QString& workingFolder,
                   int timeoutMs)
{
    ToolRun run;
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessEnvironment(environment);
    if (!workingFolder.isEmpty())
        process.setWorkingDirectory(workingFolder);
    process.start();
    if (!process.waitForStarted(10000))
        return run;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.standardError = process.readAllStandardError();
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} (?=\\[)"));
    QString text = QString::fromUtf8(run.standardError);
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    if (!text.isEmpty())
        for (QString line : text.split(QLatin1Char('\n')))
            run.lines << line.remove(stamp);
    return run;
}

} // namespace

ToolRun runTool(const QStringList& arguments, const QProcessEnvironment& environment,
                const QString& workingFolder, int timeoutMs)
{
    return runProgram(QStringLiteral(BWV_TOOL_PATH), arguments, environment, workingFolder,
                      timeoutMs);
}

ToolRun runToolAsNobody(const QStringList& arguments, const QProcessEnvironment& environment,
                        const QString& workingFolder)
{
    // runuser resets nothing we pass explicitly after "env".
    QStringList wrapped{QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--"),
                        QStringLiteral("env")};
    for (const QString& key : environment.keys())
        wrapped << key + QLatin1Char('=') + environment.value(key);
    wrapped << QStringLiteral(BWV_TOOL_PATH) << arguments;
    return runProgram(QStringLiteral("runuser"), wrapped, environment, workingFolder, 120000);
}

bool writeFile(const QString& path, const QByteArray& content)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
           && file.write(content) == content.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int runInChild(const std::function<bool()>& body)
{
    const pid_t child = ::fork();
    if (child < 0)
        return -1;
    if (child == 0)
        ::_exit(body() ? 0 : 1); // _exit: the parent's Qt objects must not be torn down twice

    int status = 0;
    for (int waitedMs = 0; waitedMs < 60000; waitedMs += 10) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0)
            return -1;
        ::usleep(10000);
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    return -1;
}

bool becomeNobody()
{
    const gid_t nogroup = 65534;
    const uid_t nobody = 65534;
    return ::setgroups(0, nullptr) == 0 && ::setresgid(nogroup, nogroup, nogroup) == 0
           && ::setresuid(nobody, nobody, nobody) == 0;
}

bool mountSmallVolume(const QString& folder, qint64 sizeBytes)
{
    const QByteArray options = "size=" + QByteArray::number(sizeBytes);
    return ::unshare(CLONE_NEWNS) == 0
           && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
           && QDir().mkpath(folder)
           && ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0,
                      options.constData())
                  == 0;
}
