// Stand-in for the foundation library's crash handler: a report file on a fatal signal.
//
// Everything the signal handler needs is prepared in fixed buffers beforehand, so the handler
// itself only calls async-signal-safe functions (mkdir, open, fstat, write, close, raise).
#include "platform/brisken/crash_handler.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Brisken {

namespace {

constexpr size_t textCapacity = 4096;
constexpr size_t annotationCapacity = 8192;
constexpr int fatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

char g_programName[256];
char g_uploadUrl[textCapacity];
char g_dumpFolder[textCapacity];
char g_annotations[annotationCapacity];
size_t g_annotationsLength = 0;
char g_alternateStack[64 * 1024];

void copyText(char* target, size_t capacity, const QByteArray& text)
{
    const size_t length = std::min(size_t(text.size()), capacity - 1);
    std::memcpy(target, text.constData(), length);
    target[length] = '\0';
}

void writeBytes(int fd, const char* text, size_t left)
{
    while (left > 0) {
        const ssize_t written = ::write(fd, text, left);
        if (written <= 0) {
            if (written < 0 && errno == EINTR)
                continue;
            return;
        }
        text += written;
        left -= size_t(written);
    }
}

void writeText(int fd, const char* text)
{
    writeBytes(fd, text, std::strlen(text));
}

// Decimal digits of a non-negative number into buffer; returns buffer.
char* formatNumber(long value, char* buffer, size_t capacity)
{
    char digits[32];
    size_t count = 0;
    do {
        digits[count++] = char('0' + value % 10);
        value /= 10;
    } while (value > 0 && count < sizeof digits);
    size_t i = 0;
    while (count > 0 && i + 1 < capacity)
        buffer[i++] = digits[--count];
    buffer[i] = '\0';
    return buffer;
}

const char* signalName(int signal)
{
    switch (signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "unknown signal";
    }
}

// mkdir -p on a fixed buffer, in the handler; what it makes is the running user's alone.
void makeFolders(const char* path)
{
    char partial[textCapacity];
    const size_t length = std::strlen(path);
    for (size_t i = 1; i <= length; ++i) {
        if (path[i] == '/' || path[i] == '\0') {
            std::memcpy(partial, path, i);
            partial[i] = '\0';
            ::mkdir(partial, 0700);
        }
    }
}

void appendPath(char* target, size_t capacity, const char* piece)
{
    const size_t used = std::strlen(target);
    const size_t length = std::strlen(piece);
    if (used + length + 1 > capacity)
        return;
    std::memcpy(target + used, piece, length + 1);
}

// The report goes only into a folder that no other user can change: one that the handler has
// just made, or one of the running user's that only its owner may write to. Run as root, the
// tool must not be steered into writing where someone else prepared a folder or a link.
int openDumpFolder()
{
    const int folder = ::open(g_dumpFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (folder >= 0
        && (::fstat(folder, &status) != 0 || status.st_uid != ::geteuid()
            || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
        ::close(folder);
        return -1;
    }
    return folder;
}

void onFatalSignal(int signal)
{
    makeFolders(g_dumpFolder);

    char number[32];
    char reportName[textCapacity] = {0};
    appendPath(reportName, sizeof reportName, g_programName);
    appendPath(reportName, sizeof reportName, "-");
    appendPath(reportName, sizeof reportName,
               formatNumber(long(::getpid()), number, sizeof number));
    appendPath(reportName, sizeof reportName, ".crash");

    // A new file only: whatever already has the name, a planted link included, stays untouched.
    const int folder = openDumpFolder();
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    const int fd = folder < 0 ? -1 : ::openat(folder, reportName, flags, 0600);
    if (folder >= 0)
        ::close(folder);
    if (fd >= 0) {
        writeText(fd, "program: ");
        writeText(fd, g_programName);
        writeText(fd, "\nsignal: ");
        writeText(fd, signalName(signal));
        writeText(fd, " (");
        writeText(fd, formatNumber(signal, number, sizeof number));
        writeText(fd, ")\nupload-url: ");
        writeText(fd, g_uploadUrl);
        writeText(fd, "\n");
        writeBytes(fd, g_annotations, g_annotationsLength);
        writeText(fd, "backtrace:\n");
        void* frames[64];
        const int count = ::backtrace(frames, 64);
        ::backtrace_symbols_fd(frames, count, fd);
        ::close(fd);
    }

    // Die of the same signal, so the exit status tells what happened.
    std::signal(signal, SIG_DFL);
    ::raise(signal);
}

} // namespace

QString CrashHandler::defaultMinidumpPath()
{
    return QStringLiteral("/var/tmp/bw-vellacor-ctl/crashes");
}

bool CrashHandler::init(const QString& programName, const QString& uploadUrl,
                        const QString& minidumpPath)
{
    copyText(g_programName, sizeof g_programName, programName.toUtf8());
    copyText(g_uploadUrl, sizeof g_uploadUrl, uploadUrl.toUtf8());
    // Without a trailing "/", which would make the open follow a link in the folder's place.
    QString folder = minidumpPath;
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    copyText(g_dumpFolder, sizeof g_dumpFolder, QFile::encodeName(folder));

    // backtrace() loads its unwinder on first use; do that now, not inside the handler.
    void* frame[1];
    ::backtrace(frame, 1);

    // A stack overflow leaves no stack to run the handler on.
    stack_t stack{};
    stack.ss_sp = g_alternateStack;
    stack.ss_size = sizeof g_alternateStack;
    ::sigaltstack(&stack, nullptr);

    struct sigaction action {};
    action.sa_handler = onFatalSignal;
    action.sa_flags = SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    bool installed = true;
    for (int signal : fatalSignals)
        installed = ::sigaction(signal, &action, nullptr) == 0 && installed;
    return installed;
}

void CrashHandler::setAnnotation(const QByteArray& key, const QByteArray& value)
{
    const QByteArray line = key + ": " + value + '\n';
    if (g_annotationsLength + size_t(line.size()) > sizeof g_annotations)
        return;
    std::memcpy(g_annotations + g_annotationsLength, line.constData(), size_t(line.size()));
    g_annotationsLength += size_t(line.size());
}

} // namespace Brisken
