// Stand-in for the foundation library's trace logger: one whole line per call on standard error.
#pragma once

#include "platform/brisken/flags.h"

namespace Brisken {
namespace Trace {

enum InitFlags : unsigned int {
    ToStandardError = 1, // write lines to standard error
    WithTimestamp = 2,   // prefix "yyyy-MM-dd hh:mm:ss.zzz " (local time)
};

// Until this is called, and for flags without ToStandardError, lines go nowhere.
void initialize(FlagsT<InitFlags, unsigned int> flags);

// printf-style; "%s" arguments are UTF-8 bytes. Each call writes "[info] message",
// "[warning] message" or "[error] message" as one line and flushes it.
void info(const char* format, ...) __attribute__((format(printf, 1, 2)));
void warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
void error(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace Trace
} // namespace Brisken
