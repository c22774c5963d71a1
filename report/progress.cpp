// One live progress line on a terminal while long work runs.
#include "report/progress.h"

#include "report/size_text.h"

#include <unistd.h>

namespace {

void writeToTerminal(const QByteArray& bytes)
{
    for (qsizetype written = 0; written < bytes.size();) {
        const ssize_t n =
            ::write(STDERR_FILENO, bytes.constData() + written, size_t(bytes.size() - written));
        if (n <= 0)
            return; // a terminal that went away takes no progress
        written += n;
    }
}

// "\r" returns to the start of the line, "ESC [ K" erases to its end.
const QByteArray eraseLine = QByteArrayLiteral("\r\x1b[K");

} // namespace

Progress::Progress(const char* label) : m_label(label), m_active(::isatty(STDERR_FILENO) == 1)
{
    m_clock.start();
}

Progress::~Progress()
{
    clear();
}

void Progress::clear()
{
    if (m_shown)
        writeToTerminal(eraseLine);
    m_shown = false;
}

void Progress::draw(qint64 doneBytes, const QString& detail)
{
    const qint64 elapsedMs = m_clock.elapsed();
    m_lastDrawMs = elapsedMs;
    const qint64 seconds = elapsedMs / 1000;
    const qint64 bytesPerSecond = elapsedMs > 0 ? doneBytes * 1000 / elapsedMs : 0;
    const QString line = QStringLiteral("%1: %2, %3/s, %4:%5")
                             .arg(QLatin1String(m_label), detail, formatSize(bytesPerSecond))
                             .arg(seconds / 60)
                             .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    writeToTerminal(eraseLine + line.toUtf8());
    m_shown = true;
}
