// Helpers shared by the tests: capturing trace lines, running the built tool, fixture trees.
#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>

// Redirects standard error into a file for its lifetime and turns trace output on without
// time stamps, so a test can compare the exact lines an operation wrote.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    // Every line written so far, without line ends ("[error] Failed to ...").
    QStringList lines() const;

private:
    int m_savedStderr = -1;
    QString m_filePath;
};

struct ToolRun {
    int exitCode = -1;
    QByteArray standardError;
    // Standard error split into lines, with the time stamp of trace lines removed.
    QStringList lines;
};

// Runs the built bw-vellacor-ctl with arguments; environment and working folder optional.
// The run is bounded (default two minutes); a run that does not end fails with exitCode -1.
ToolRun runTool(const QStringList& arguments,
                const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                const QString& workingFolder = QString(), int timeoutMs = 120000);

// Same, but as the unprivileged user "nobody" (runuser), for permission cases run as root.
ToolRun runToolAsNobody(const QStringList& arguments, const QProcessEnvironment& environment,
                        const QString& workingFolder = QString());

// Writes content to path, creating parent folders. False on any failure.
bool writeFile(const QString& path, const QByteArray& content);
QByteArray readFile(const QString& path);

// Runs body in a forked child of the test and returns its exit status: 0 when body returned
// true, 1 when false, -1 when the child could not be made, was killed or ran past a minute.
// Standard error is shared, so a TraceCapture of the parent sees the child's lines.
int runInChild(const std::function<bool()>& body);

// In a child only: drops root for the user "nobody", so permission checks apply.
bool becomeNobody();

// In a child only: a private mount namespace with a tmpfs of sizeBytes mounted on folder, so a
// full volume can be made without touching the machine's own mounts.
bool mountSmallVolume(const QString& folder, qint64 sizeBytes);
