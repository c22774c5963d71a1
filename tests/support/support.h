// Helpers shared by the tests: trace capture, runs of the built tool, children with fewer
// rights, a real installation, the test cluster and a scripted control server.
#pragma once

#include <QtCore>

#include <functional>
#include <sys/stat.h>

// Sends standard error to a file while it lives and turns trace lines on without time
// stamps, so a test can compare the exact lines an operation wrote.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    QStringList lines() const;

private:
    int m_savedStderr = -1;
    QString m_path;
};

struct ToolRun {
    int exitCode = -1; // -1 also when the run crashed or did not end within two minutes
    QByteArray standardError;
    QByteArray standardOutput;
    QStringList lines; // standard error by line, trace time stamps removed
};

ToolRun runTool(const QStringList& arguments,
                const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                const QString& workingFolder = QString(),
                const QString& program = QStringLiteral(BWV_TOOL_PATH));
// Waits for a tool started on process, then as runTool.
ToolRun finishTool(QProcess& process);
// Polls condition every 2 ms for at most a minute; false when it never held.
bool waitFor(const std::function<bool()>& condition);
// The same as the user "nobody" (runuser), for permission cases; the tests run as root.
ToolRun runToolAsNobody(const QStringList& arguments, const QProcessEnvironment& environment);

bool writeFile(const QString& path, const QByteArray& content); // parent folders made too
// Makes entries under root from "d:folder", "f:file=content", "x:file=content" (mode 0750),
// "s:file=size" (a hole, then 17 MiB of data at the end), "l:link->target" and "p:fifo"; %T in
// a link target is tmp, %XX in a name a byte (names need not be UTF-8).
bool makeTree(const QString& root, const QStringList& items, const QString& tmp = QString());
QByteArray readFile(const QString& path);
bool setMode(const QString& path, unsigned mode);
struct stat fileStatus(const QString& path); // of path itself; all zero when it cannot be read
// Every entry below root, sorted, as "d:folder", "f:file=content" ("x:" when executable; past
// 1 MiB its size in bytes), "l:link->target" or "p:fifo"; hidden and special ones too, a name
// that is not UTF-8 percent-encoded. With status: each regular file's path, permission bits,
// modification time and MiB on disk.
QStringList describeTree(const QString& root, bool status = false);
QStringList names(const QString& folder); // of the entries in folder, hidden ones too, sorted
// What the sqlite3 program printed for the statements, errors included, trimmed.
QString sqlite(const QString& file, const QString& statements);
// True when there are as many lines as expected and each matches its own, where "…" stands
// for any text.
bool linesMatch(const QStringList& lines, const QStringList& expected);

// Runs body in a forked child: 0 when it returned true, 1 when false, 128 + the signal that
// killed it, -1 past a minute. The child shares standard error, so a TraceCapture sees it.
int runInChild(const std::function<bool()>& body);
bool becomeNobody(); // in a child
// In a child: a private mount namespace with a tmpfs of sizeBytes on folder.
bool mountSmallVolume(const QString& folder, qint64 sizeBytes);

// T/installation/server/ with production.yaml, data/main.db (table projects), data/reporting.db
// (table sessions) and media/ (two files), in a temporary folder T; T/backups, empty, is its
// backup root, named in a way that the line grammar surprises. Nothing listens on its port.
struct Installation {
    QTemporaryDir dir;
    QString root = dir.filePath("installation");
    QString server = root + "/server/";
    QString mainDb = server + "data/main.db";
    QString reportingDb = server + "data/reporting.db";
    QString media = server + "media";
    QString backups = dir.filePath("backups");
    int port = 0;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();

    Installation();
    // Writes production.yaml again with extra lines at its end: a key's last line wins.
    void configure(const QByteArray& extra = QByteArray()) const;
    // T/bin/name running script; T/bin comes first on the search path of the runs.
    bool addProgram(const QString& name, const QByteArray& script) const;
    ToolRun run(const QStringList& arguments, const QString& program = BWV_TOOL_PATH) const;
    // sh -ec command in folder, with $P the backups, $R the root, $S the server folder and $D T.
    ToolRun shell(const QString& command, const QString& folder) const;
    // {P} the backups, {R} the installation root, {S} its server folder, {D} T filled in.
    QString expand(QString text) const;
    // A bw-vellacor-ctl run's opening lines ("Creating", "Restoring"), then lines, expanded.
    QStringList expect(const char* opening, const QStringList& lines) const;
};

// The throwaway cluster that the "pg" fixture started (scripts/pg_cluster.sh).
class TestCluster {
public:
    TestCluster();
    QString url(const QString& database, const QString& user = QStringLiteral("postgres")) const;
    bool createDatabase(const QString& database); // false, with a warning, without the fixture
    // Rows of the last statement, fields joined by "|"; a failure adds a row "ERROR: ...".
    QStringList query(const QString& database, const QString& sql) const;
    QString binFolder() const { return m_binFolder; } // the server's own psql and pg_dump

private:
    QString m_port;
    QString m_binFolder;
};

// A stand-in for the server's control port: records every byte it receives and answers a
// start-backup line with the given pieces, written 50 ms apart; with no text in them it hangs up.
class FakeControlServer : public QThread {
public:
    explicit FakeControlServer(const QList<QByteArray>& answer);
    ~FakeControlServer() override;
    quint16 port() const { return m_port; }
    QByteArray received() const;

protected:
    void run() override;

private:
    const QList<QByteArray> m_answer;
    quint16 m_port = 0;
    QSemaphore m_listening;
    mutable QMutex m_mutex;
    QByteArray m_received;
};
