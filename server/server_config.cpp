// Finds the installation and reads the server's configuration files line by line.
#include "server/server_config.h"

#include "platform/brisken/trace.h"
#include "platform/vellacor/vellacor.h"

#include <QDir>
#include <QFileInfo>

const char* const overlayConfigurationFile =
    "/etc/Brantwell/bw-vellacor/server/production_users.yaml";

namespace {

// The server writes YAML, but only five keys matter and their lines have one fixed shape;
// the cut takes the key, its colon and the one blank after it. The first match decides.
struct KeyRule {
    const char* prefix;
    int cut;
    QString ServerConfig::*member; // null for the port
};

const KeyRule keyRules[] = {
    {"asset_root:", 12, &ServerConfig::assetRoot},
    {"backup_root:", 13, &ServerConfig::backupRoot},
    {"db:", 4, &ServerConfig::databaseLocation},
    {"reporting_db:", 14, &ServerConfig::reportingDatabaseLocation},
    {"control_port:", 14, nullptr},
};

} // namespace

const char* applyConfigurationLine(ServerConfig& config, const QByteArray& rawLine,
                                   QString* valueText)
{
    const QByteArray cleaned = rawLine.simplified();
    // fromUtf8 of the NUL-terminated data stops at the first NUL byte.
    QString line = QString::fromUtf8(cleaned.constData());
    line.remove(QLatin1Char('"'));

    for (const KeyRule& rule : keyRules) {
        if (!line.startsWith(QLatin1String(rule.prefix)))
            continue;
        const QString value = line.mid(rule.cut);
        if (rule.member)
            config.*rule.member = value;
        else
            config.controlPort = value.toInt(nullptr, 10);
        if (valueText)
            *valueText = value;
        return rule.prefix;
    }
    return nullptr;
}

bool ServerConfig::readServerConfiguration(const QString& serverConfigPath)
{
    const auto root = Vellacor::Vellacor::vellacorRoot();
    if (!root.first) {
        Brisken::Trace::error("Failed to find Vellacor installation: %s",
                              qUtf8Printable(root.second));
        return false;
    }
    serverFolder = root.second + QStringLiteral("/server/");

    QFile mainFile(serverConfigPath.isEmpty() ? serverFolder + QStringLiteral("production.yaml")
                                              : serverConfigPath);
    if (!parseConfigurationFile(mainFile)) {
        Brisken::Trace::error("Failed to read Vellacor server configuration from %s",
                              qUtf8Printable(mainFile.fileName()));
        return false;
    }

    configurationFile = mainFile.fileName();
    QFile overlay(QString::fromLatin1(overlayConfigurationFile));
    parseConfigurationFile(overlay);
    return true;
}

bool ServerConfig::parseConfigurationFile(QFile& file)
{
    // A folder opens on some systems and then reads nothing; it is no configuration file.
    if (!file.exists() || QFileInfo(file.fileName()).isDir() || !file.open(QIODevice::ReadOnly))
        return false;

    Brisken::Trace::info("Reading server configuration from %s",
                         qUtf8Printable(file.fileName()));
    while (!file.atEnd()) {
        QString value;
        const char* key = applyConfigurationLine(*this, file.readLine(), &value);
        // A value runs to the end of its line: a YAML comment after it becomes part of it.
        if (key && value.contains(QLatin1String(" #")))
            Brisken::Trace::warning("The value of %.*s in %s holds \" #\", which stays part of "
                                    "the value: %s",
                                    int(qstrlen(key)) - 1, key, qUtf8Printable(file.fileName()),
                                    qUtf8Printable(value));
    }
    file.close();
    return true;
}

QString resolvePath(const ServerConfig& config, QString location, bool relativeToServerFolder)
{
    location.remove(QStringLiteral("sqlite://"));
    const QString base = relativeToServerFolder ? config.serverFolder : QDir::currentPath();
    // Joined as text: Qt would take a name beginning with ":" for one of its resources. And
    // QFileInfo rather than QDir::cleanPath: a folder written with a trailing "/" keeps it.
    const bool isAbsolute = location.startsWith(QLatin1Char('/'));
    return QFileInfo(isAbsolute ? location : base + QLatin1Char('/') + location).absoluteFilePath();
}
