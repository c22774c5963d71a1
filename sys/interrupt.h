// Turns SIGINT, SIGTERM and SIGHUP into one stop request that every wait of the tool can see.
//
// The handler only records the first signal and writes a byte into a pipe that is never
// drained, so the pipe stays readable: a wait that watches it wakes up at once, however late
// it starts, and code between waits asks requested() at its safe points.
#pragma once

namespace Interrupt {

// Installs the handlers. Until then nothing requests a stop and the signals keep their
// default action.
bool install();

// True once one of the three signals has arrived.
bool requested();

// The name of the first signal that arrived ("SIGTERM"), or null.
const char* signalName();

enum class Wait { Ready, TimedOut, Stopped };

// Waits until fd is readable (or has hung up), timeoutMs passes (-1: no limit) or a stop is
// requested, whichever comes first.
Wait waitReadable(int fd, int timeoutMs);

} // namespace Interrupt
