// The process exit statuses, chosen in one place: runCommandLine.
#pragma once

enum class ExitStatus : int {
    Success = 0,      // the command succeeded, or the usage text was asked for
    UsageError = 1,   // no command, two commands, or a restore without its path
    CommandFailed = 2 // the command ran and failed
};
