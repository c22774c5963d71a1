// Stand-in for the product core library: version, installation root, database connections.
#pragma once

#include <QSqlDatabase>
#include <QString>

#include <utility>

namespace Vellacor {

class Vellacor {
public:
    // The product version, "MAJOR.MINOR.PATCH"; the same text on every call.
    static const QString& version();

    // The installation root: $VELLACOR_ROOT when set and not empty, else the default folder.
    // first is true when that path is an existing folder; second is then the path as given,
    // otherwise a description of the problem that names the path.
    static std::pair<bool, QString> vellacorRoot();
};

// Three components, least significant first: "2.5.1" holds 1, 5, 2.
struct Version {
    int components[3] = {0, 0, 0};

    // Each of the first three "."-separated parts gives the integer of its leading decimal
    // digits (none: 0; too many for an int: 2147483647); missing parts are 0 and further parts
    // are ignored.
    static Version fromString(const QString& text);
};

namespace DB {
// Turns a configured "postgres://" location into the URL that DatabaseManager accepts.
QString rewriteServerUrl(const QString& location);
} // namespace DB

class DatabaseManager {
public:
    // Opens a QPSQL connection to a postgres://[user[:password]@][host][:port]/dbname[?...]
    // URL, under a connection name unique to this call. A connection that cannot be opened
    // comes back not open, with the driver's error in lastError().
    static QSqlDatabase connection(const QString& url);
};

} // namespace Vellacor
