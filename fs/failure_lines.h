// Error lines that several rooms write the same way.
#pragma once

#include <QString>

// The reason line "%s: %s": the path on which a system call failed and the system's text for
// its errno. It comes right before the first fixed line of that failure, at most once.
void traceReason(const QString& path, int errorNumber);

// "Backup check failed for %s: %s" (the entry's path, the reason); returns false.
bool failBackupCheck(const QString& entryPath, const QString& reason);
