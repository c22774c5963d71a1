// Checks made on a destination before data is copied there, and the size text they print.
#pragma once

#include <QString>

class ServerConfig;

// In this order, stopping at the first failure with one error line: the source exists; the
// destination's folder (the destination itself when it is a folder, else its parent) exists
// or can be created; it is writable; its volume has room for the source (a folder's
// folderSize, a plain file's own size). The created folder stays.
bool checkDestination(const ServerConfig& config, const QString& sourcePath,
                      const QString& destinationLocation);

// "1.54 MB": two decimals, decimal units from Bytes to PB, independent of the locale.
QString formatSize(qint64 bytes);
