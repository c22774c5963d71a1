// Turns SIGINT, SIGTERM and SIGHUP into one stop request that every wait of the tool can see.
#include "sys/interrupt.h"

#include <QDeadlineTimer>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace Interrupt {

namespace {

int g_pipe[2] = {-1, -1};
// Read by the copy threads too. Lock-free, so that the handler may touch it.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

void onStopSignal(int signal)
{
    int none = 0;
    g_signal.compare_exchange_strong(none, signal); // the first signal is the one named
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe is already readable: a failed write loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

bool install()
{
    if (g_pipe[0] < 0 && ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    bool installed = true;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        installed = ::sigaction(signal, &action, nullptr) == 0 && installed;
    return installed;
}

bool requested()
{
    return g_signal.load() != 0;
}

const char* signalName()
{
    switch (g_signal.load()) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return nullptr;
    }
}

Wait waitReadable(int fd, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(timeoutMs));
    for (;;) {
        if (requested())
            return Wait::Stopped;
        pollfd watched[2] = {{fd, POLLIN, 0}, {g_pipe[0], POLLIN, 0}};
        const int remainingMs = deadline.isForever() ? -1 : int(deadline.remainingTime());
        const int ready = ::poll(watched, g_pipe[0] < 0 ? 1 : 2, remainingMs);
        if (ready < 0 && errno != EINTR)
            return Wait::Ready; // let the caller's own read find out what is wrong
        if (requested())
            return Wait::Stopped;
        if (ready > 0 && watched[0].revents != 0)
            return Wait::Ready;
        if (ready == 0 || deadline.hasExpired())
            return Wait::TimedOut;
    }
}

} // namespace Interrupt
