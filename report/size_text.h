// The size text of the tool's messages: "1.54 MB".
#pragma once

#include <QString>

// Two decimals, decimal units from Bytes to PB, independent of the locale.
QString formatSize(qint64 bytes);
