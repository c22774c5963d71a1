// A child process that ends with the tool, in a process group of its own, with empty input.
#include "sys/child_process.h"

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

ChildProcess::ChildProcess() : m_parentPid(::getpid())
{
    setStandardInputFile(QProcess::nullDevice());
}

// Runs in the child between fork and exec.
void ChildProcess::setupChildProcess()
{
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The tool may have died before the line above: then no signal would ever come.
    if (::getppid() != m_parentPid)
        ::_exit(1);
}
