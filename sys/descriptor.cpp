// Open file and folder descriptors that close themselves, and the open-file limit.
#include "sys/descriptor.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace Sys {

Descriptor::~Descriptor()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept
{
    if (this != &other) {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
        m_descriptor = other.release();
    }
    return *this;
}

int Descriptor::release()
{
    const int descriptor = m_descriptor;
    m_descriptor = -1;
    return descriptor;
}

Descriptor openFolder(const QByteArray& path)
{
    return Descriptor(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

Descriptor openFolderAt(int folder, const char* name)
{
    return Descriptor(::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

OpenFileLimit::OpenFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    const rlim_t saved = limit.rlim_cur;
    // The kernel refuses more than its own ceiling (nr_open, 1 048 576 by default).
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, rlim_t(1) << 20);
    m_raised = ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
    m_saved = saved;
}

OpenFileLimit::~OpenFileLimit()
{
    rlimit limit{};
    if (!m_raised || ::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    limit.rlim_cur = m_saved;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace Sys
