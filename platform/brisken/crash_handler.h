// Stand-in for the foundation library's crash handler: a report file on a fatal signal.
#pragma once

#include <QByteArray>
#include <QString>

namespace Brisken {

class CrashHandler {
public:
    // "/var/tmp/bw-vellacor-ctl/crashes".
    static QString defaultMinidumpPath();

    // Installs handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT. Nothing is written
    // now: the dump folder is created, and one report written into it, only when a fatal
    // signal arrives. The report records the upload URL; nothing is uploaded from here.
    static bool init(const QString& programName, const QString& uploadUrl,
                     const QString& minidumpPath);

    // Adds "key: value" to every later report. Space is fixed; what does not fit is dropped.
    static void setAnnotation(const QByteArray& key, const QByteArray& value);
};

} // namespace Brisken
