// Checks made on a destination before data is copied there, and the size text they print.
#include "fs/destination.h"

// TODO(issue 4): implement.
bool checkDestination(const ServerConfig&, const QString&, const QString&) { return false; }
QString formatSize(qint64) { return QString(); }
