// A child process in a process group of its own.
#include "sys/child_process.h"

#include <unistd.h>

// Runs in the child between fork and exec.
void ChildProcess::setupChildProcess()
{
    ::setpgid(0, 0);
}
