// Error lines that several rooms write the same way.
#include "fs/failure_lines.h"

#include "platform/brisken/trace.h"
#include "sys/files.h"

void traceReason(const QString& path, int errorNumber)
{
    Brisken::Trace::error("%s: %s", qUtf8Printable(path),
                          qUtf8Printable(Sys::errorText(errorNumber)));
}

bool failBackupCheck(const QString& entryPath, const QString& reason)
{
    Brisken::Trace::error("Backup check failed for %s: %s", qUtf8Printable(entryPath),
                          qUtf8Printable(reason));
    return false;
}
