// Worker threads that may fail to start. The system refuses threads under a process limit or
// in a full pids cgroup; the caller learns how many started and does the work itself when
// none did, rather than wait for work that nobody does.
#pragma once

#include <functional>
#include <pthread.h>
#include <vector>

namespace Sys {

class Threads {
public:
    Threads() = default;
    ~Threads() { joinAll(); }
    Threads(const Threads&) = delete;
    Threads& operator=(const Threads&) = delete;

    // Starts up to count threads that each run body; returns how many started.
    int start(int count, std::function<void()> body);
    // Waits until every started thread has returned.
    void joinAll();

private:
    static void* run(void* threads);

    std::function<void()> m_body;
    std::vector<pthread_t> m_started;
};

} // namespace Sys
