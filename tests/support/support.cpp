// Helpers shared by the tests.
#include "tests/support/support.h"

#include "platform/brisken/trace.h"

#include <QtNetwork>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

TraceCapture::TraceCapture()
{
    QTemporaryFile file(QDir::tempPath() + "/bwv-trace-XXXXXX");
    file.setAutoRemove(false);
    file.open();
    m_path = file.fileName();
    m_savedStderr = ::dup(STDERR_FILENO);
    ::dup2(file.handle(), STDERR_FILENO);
    Brisken::Trace::initialize(Brisken::Trace::ToStandardError);
}

TraceCapture::~TraceCapture()
{
    Brisken::Trace::initialize(0u);
    ::dup2(m_savedStderr, STDERR_FILENO);
    ::close(m_savedStderr);
    QFile::remove(m_path);
}

QStringList TraceCapture::lines() const
{
    const QString text = QString::fromUtf8(readFile(m_path));
    return text.isEmpty() ? QStringList() : text.chopped(1).split('\n');
}

ToolRun runTool(const QStringList& arguments, const QProcessEnvironment& environment,
                const QString& workingFolder, const QString& program)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingFolder);
    process.start(program, arguments);
    return finishTool(process);
}

ToolRun finishTool(QProcess& process)
{
    ToolRun run;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished(5000);
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.standardError = process.readAllStandardError();
    run.standardOutput = process.readAllStandardOutput();
    static const QRegularExpression stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (?=\[))");
    const QString text = QString::fromUtf8(run.standardError);
    for (QString line : text.isEmpty() ? QStringList() : text.chopped(1).split('\n'))
        run.lines << line.remove(stamp);
    return run;
}

bool waitFor(const std::function<bool()>& condition)
{
    for (int waitedMs = 0; waitedMs < 60000; waitedMs += 2) {
        if (condition())
            return true;
        ::usleep(2000);
    }
    return false;
}

// A copy of the tool that nobody may run: the build folder may lie where nobody cannot enter.
QString toolForNobody()
{
    static QTemporaryDir folder(QDir::tempPath() + "/bwv-tool-XXXXXX");
    const QString copy = folder.filePath("bw-vellacor-ctl");
    if (!QFileInfo::exists(copy) && QFile::copy(BWV_TOOL_PATH, copy))
        setMode(folder.path(), 0755);
    return copy;
}

ToolRun runToolAsNobody(const QStringList& arguments, const QProcessEnvironment& environment)
{
    QStringList wrapped{"-u", "nobody", "--", "env"};
    for (const QString& key : environment.keys())
        wrapped << key + '=' + environment.value(key);
    return runTool(wrapped << toolForNobody() << arguments, environment, QString(), "runuser");
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly)
           && file.write(content) == content.size();
}

bool makeTree(const QString& root, const QStringList& items, const QString& tmp)
{
    for (const QString& item : items) {
        const char kind = item[0].toLatin1();
        const QString value = item.section('=', 1);
        const QByteArray name = QFile::encodeName(item.mid(2).section('=', 0, 0).section("->", 0, 0));
        const QByteArray path = QFile::encodeName(root) + '/' + QByteArray::fromPercentEncoding(name);
        for (int slash = path.indexOf('/', 1); slash > 0; slash = path.indexOf('/', slash + 1))
            ::mkdir(path.left(slash), 0755);
        const mode_t mode = kind == 'x' ? 0750 : 0644;
        const int fd = QByteArray("fxs").contains(kind) ? ::open(path, O_WRONLY | O_CREAT | O_TRUNC, mode) : -1;
        const QByteArray data = kind == 's' ? QByteArray(17 << 20, 'd') : value.toUtf8();
        const off_t offset = kind == 's' ? value.toLongLong() - data.size() : 0;
        const QByteArray target = QFile::encodeName(QString(item.section("->", 1)).replace("%T", tmp));
        const bool made = kind == 'd'   ? ::mkdir(path, 0755) == 0 || errno == EEXIST
                          : kind == 'l' ? ::symlink(target, path) == 0
                          : kind == 'p' ? ::mkfifo(path, 0644) == 0
                                        : ::pwrite(fd, data, data.size(), offset) == data.size();
        if (fd >= 0)
            ::close(fd);
        if (!made)
            return false;
    }
    return true;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool setMode(const QString& path, unsigned mode)
{
    return ::chmod(QFile::encodeName(path), mode) == 0;
}

struct stat fileStatus(const QString& path)
{
    struct stat status {};
    return ::lstat(QFile::encodeName(path), &status) == 0 ? status : (struct stat){};
}

QStringList describeTree(const QString& root, bool status)
{
    static QStringList found;
    static int skipped;
    static bool withStatus;
    found.clear();
    withStatus = status;
    // A root that is a link is walked as the folder it names.
    const QByteArray top = QFile::encodeName(QFileInfo(root).canonicalFilePath());
    skipped = top.size() + 1;
    ::nftw(top, [](const char* path, const struct stat* s, int, FTW* at) {
        const QByteArray bytes(path + std::min<int>(skipped, qstrlen(path)));
        const bool utf8 = QString::fromUtf8(bytes).toUtf8() == bytes;
        const QString name = utf8 ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes.toPercentEncoding("/"));
        QByteArray content(S_ISREG(s->st_mode) && s->st_size < (1 << 20) ? s->st_size : 0, 0);
        const int fd = content.isEmpty() ? -1 : ::open(path, O_RDONLY);
        content.resize(fd < 0 ? 0 : std::max<int>(0, ::read(fd, content.data(), content.size())));
        if (fd >= 0)
            ::close(fd);
        const QString size = s->st_size < (1 << 20) ? QString::fromLatin1(content) : QString::number(s->st_size) + " bytes";
        const QString mtime = QString("%1.%2").arg(s->st_mtim.tv_sec).arg(s->st_mtim.tv_nsec);
        if (at->level > 0 && withStatus && S_ISREG(s->st_mode))
            found << QString("%1 %2 %3 %4").arg(name).arg(s->st_mode & 07777, 0, 8).arg(mtime).arg(s->st_blocks / 2048);
        else if (at->level > 0 && !withStatus)
            found << (S_ISLNK(s->st_mode)   ? "l:" + name + "->" + QFile::symLinkTarget(QFile::decodeName(path))
                      : S_ISDIR(s->st_mode) ? "d:" + name
                      : S_ISREG(s->st_mode) ? QString(s->st_mode & 0111 ? "x:" : "f:") + name + '=' + size
                                            : "p:" + name);
        return 0;
    }, 16, FTW_PHYS);
    found.sort();
    return found;
}

QStringList names(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

QString sqlite(const QString& file, const QString& statements)
{
    const ToolRun run =
        runTool({"-bail", file, statements}, QProcessEnvironment::systemEnvironment(), QString(), "sqlite3");
    return QString::fromUtf8(run.standardOutput + run.standardError).trimmed();
}

bool linesMatch(const QStringList& lines, const QStringList& expected)
{
    for (int i = 0; i < lines.size() && lines.size() == expected.size(); ++i) {
        QStringList parts = expected[i].split("…");
        for (QString& part : parts)
            part = QRegularExpression::escape(part);
        if (!QRegularExpression("\\A" + parts.join(".*") + "\\z").match(lines[i]).hasMatch())
            return false;
    }
    return lines.size() == expected.size();
}

int runInChild(const std::function<bool()>& body)
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(body() ? 0 : 1); // _exit: the parent's objects are not the child's to tear down
    int status = 0;
    for (int waitedMs = 0; child > 0 && waitedMs < 60000; waitedMs += 10) {
        if (::waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        ::usleep(10000);
    }
    if (child > 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    return -1;
}

bool becomeNobody()
{
    return ::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0
           && ::setresuid(65534, 65534, 65534) == 0;
}

bool mountSmallVolume(const QString& folder, qint64 sizeBytes)
{
    const QByteArray options = "size=" + QByteArray::number(sizeBytes);
    return ::unshare(CLONE_NEWNS) == 0
           && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
           && QDir().mkpath(folder)
           && ::mount("tmpfs", QFile::encodeName(folder), "tmpfs", 0, options.constData()) == 0;
}

Installation::Installation()
{
    QTcpServer unused; // a port that was free a moment ago
    unused.listen(QHostAddress::LocalHost);
    port = unused.serverPort();
    configure();
    makeTree(dir.path(), {"d:installation/server/data", "d:backups",
                          "f:installation/server/media/images/quay.png=" + QString(70000, 'q'),
                          "f:installation/server/media/docs/shift plan.txt=early, late\n"});
    sqlite(mainDb, "CREATE TABLE projects (id INTEGER PRIMARY KEY, name TEXT);"
                   "INSERT INTO projects VALUES (1, 'harbour'), (2, 'plant');");
    sqlite(reportingDb, "CREATE TABLE sessions (id INTEGER, minutes INTEGER);"
                        "INSERT INTO sessions VALUES (1, 42), (2, 17);");
    environment.insert("VELLACOR_ROOT", root);
    environment.insert("PATH", dir.filePath("bin") + ':' + environment.value("PATH"));
}

void Installation::configure(const QByteArray& extra) const
{
    writeFile(server + "production.yaml",
              "server:\n  db: \"sqlite://data/main.db\"\n  reporting_db: sqlite://data/reporting.db\n"
              "  asset_root: media\n  backup_root: /nonexistent\nbackup:\n\t backup_root:   \"../../backups\"\r\n"
              "  control_port: " + QByteArray::number(port) + "\n" + extra);
}

bool Installation::addProgram(const QString& name, const QByteArray& script) const
{
    return makeTree(dir.path(), {"x:bin/" + name + "=#!/bin/sh\n" + QString::fromUtf8(script)});
}

ToolRun Installation::run(const QStringList& arguments, const QString& program) const
{
    return runTool(arguments, environment, QString(), program);
}

ToolRun Installation::shell(const QString& command, const QString& folder) const
{
    QProcessEnvironment variables = environment;
    for (const char* name : {"P", "R", "S", "D"})
        variables.insert(name, expand(QString("{%1}").arg(name)));
    return runTool({"-ec", command}, variables, folder, "sh");
}

QString Installation::expand(QString text) const
{
    return text.replace("{P}", backups).replace("{R}", root).replace("{S}", server).replace("{D}", dir.path());
}

QStringList Installation::expect(const char* opening, const QStringList& lines) const
{
    return QStringList{QString("[info] ") + opening + " a backup of Vellacor data",
                       "[info] Reading server configuration from " + server + "production.yaml"}
           + expand(lines.join('\n')).split('\n');
}

TestCluster::TestCluster()
{
    for (const QByteArray& line : readFile(BWV_TEST_CLUSTER_FOLDER "/env").split('\n')) {
        if (line.startsWith("PGPORT="))
            m_port = QString::fromUtf8(line.mid(7));
        else if (line.startsWith("PGBINDIR="))
            m_binFolder = QString::fromUtf8(line.mid(9));
    }
}

QString TestCluster::url(const QString& database, const QString& user) const
{
    return QString("postgres://%1@127.0.0.1:%2/%3").arg(user, m_port, database);
}

bool TestCluster::createDatabase(const QString& database)
{
    if (m_port.isEmpty())
        qWarning("No test cluster: run the tests through ctest.");
    return !m_port.isEmpty() && query("postgres", "DROP DATABASE IF EXISTS " + database + " WITH (FORCE)").isEmpty()
           && query("postgres", "CREATE DATABASE " + database).isEmpty();
}

QStringList TestCluster::query(const QString& database, const QString& sql) const
{
    const ToolRun run = runTool({"-XqAt", "-v", "ON_ERROR_STOP=1", "-c", sql, url(database)},
                                QProcessEnvironment::systemEnvironment(), QString(), m_binFolder + "/psql");
    QStringList rows = QString::fromUtf8(run.standardOutput).split('\n', Qt::SkipEmptyParts);
    if (run.exitCode != 0)
        rows << "ERROR: " + QString::fromUtf8(run.standardError);
    return rows;
}

FakeControlServer::FakeControlServer(const QList<QByteArray>& answer) : m_answer(answer)
{
    start();
    m_listening.tryAcquire(1, 10000); // a server that cannot listen keeps port 0
}

FakeControlServer::~FakeControlServer()
{
    quit();
    wait(10000);
}

QByteArray FakeControlServer::received() const
{
    QMutexLocker lock(&m_mutex);
    return m_received;
}

void FakeControlServer::run()
{
    QTcpServer server;
    if (server.listen(QHostAddress::Any, 0)) // localhost may resolve to either protocol
        m_port = server.serverPort();
    m_listening.release();
    QObject::connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
        QTcpSocket* socket = server.nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            const QByteArray bytes = socket->readAll();
            QMutexLocker lock(&m_mutex);
            m_received += bytes;
            if (!bytes.contains("start-backup"))
                return;
            if (m_answer.join().isEmpty())
                socket->disconnectFromHost();
            for (const QByteArray& piece : m_answer) {
                socket->write(piece);
                socket->flush();
                QThread::msleep(50);
            }
        });
    });
    exec();
}
