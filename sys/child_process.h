// A child process that cannot outlive the tool and never waits for input: pg_dump and psql
// must not go on dumping or loading after the tool is gone, however it ends.
#pragma once

#include <QProcess>

#include <sys/types.h>

// Runs in a process group of its own, so that a Ctrl-C on the terminal reaches only the tool,
// which then decides whether the child is stopped or allowed to finish. Standard input is
// empty (not the terminal, not a pipe nobody writes). When the thread that started the child
// ends, also by SIGKILL, the child gets SIGTERM: start it from a thread that lives as long as
// the run.
class ChildProcess : public QProcess {
public:
    ChildProcess();

protected:
    void setupChildProcess() override;

private:
    const pid_t m_parentPid;
};
