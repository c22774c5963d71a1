// The size text of the tool's messages.
#include "report/size_text.h"

QString formatSize(qint64 bytes)
{
    static const char* const units[] = {"Bytes", "KB", "MB", "GB", "TB", "PB"};
    constexpr int lastUnit = int(sizeof units / sizeof units[0]) - 1;

    double value = double(bytes);
    int unit = 0;
    while (value >= 1000.0 && unit < lastUnit) {
        value /= 1000.0;
        ++unit;
    }
    // QString::number ignores the locale: always a dot and no group separators.
    return QStringLiteral("%1 %2").arg(QString::number(value, 'f', 2),
                                       QLatin1String(units[unit]));
}
