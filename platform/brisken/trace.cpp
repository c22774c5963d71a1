// Stand-in for the foundation library's trace logger: one whole line per call on standard error.
#include "platform/brisken/trace.h"

#include <QByteArray>
#include <QDateTime>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <unistd.h>

namespace Brisken {
namespace Trace {

namespace {

unsigned int g_flags = 0;

void writeLine(const char* level, const char* format, va_list args)
{
    if (!(g_flags & ToStandardError))
        return;

    QByteArray line;
    if (g_flags & WithTimestamp) {
        line += QDateTime::currentDateTime()
                    .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"))
                    .toLatin1();
        line += ' ';
    }
    line += '[';
    line += level;
    line += "] ";

    va_list sizing;
    va_copy(sizing, args);
    const int length = std::vsnprintf(nullptr, 0, format, sizing);
    va_end(sizing);
    if (length > 0) {
        const int start = line.size();
        line.resize(start + length + 1);
        std::vsnprintf(line.data() + start, size_t(length) + 1, format, args);
        line.resize(start + length);
    }
    line += '\n';

    // One write per line, so lines of concurrent writers never interleave mid-line.
    const char* data = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += written;
        left -= written;
    }
}

} // namespace

void initialize(FlagsT<InitFlags, unsigned int> flags)
{
    g_flags = flags.bits();
}

void info(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    writeLine("info", format, args);
    va_end(args);
}

void warning(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    writeLine("warning", format, args);
    va_end(args);
}

void error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    writeLine("error", format, args);
    va_end(args);
}

} // namespace Trace
} // namespace Brisken
