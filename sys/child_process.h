// A child process in a process group of its own, so that a Ctrl-C on the terminal reaches
// only the tool, which then decides whether the child is stopped or allowed to finish.
#pragma once

#include <QProcess>

class ChildProcess : public QProcess {
protected:
    void setupChildProcess() override;
};
