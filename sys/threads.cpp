// Worker threads that may fail to start.
#include "sys/threads.h"

namespace Sys {

void* Threads::run(void* threads)
{
    static_cast<Threads*>(threads)->m_body();
    return nullptr;
}

int Threads::start(int count, std::function<void()> body)
{
    m_body = std::move(body);
    for (int i = 0; i < count; ++i) {
        pthread_t thread;
        if (::pthread_create(&thread, nullptr, &Threads::run, this) != 0)
            break; // EAGAIN: the others would be refused too
        m_started.push_back(thread);
    }
    return int(m_started.size());
}

void Threads::joinAll()
{
    for (const pthread_t thread : m_started)
        ::pthread_join(thread, nullptr);
    m_started.clear();
}

} // namespace Sys
