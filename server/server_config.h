// The tool's one context object: where the server keeps its data, and the control connection.
#pragma once

#include <QFile>
#include <QString>
#include <QTcpSocket>

// The fixed overlay file, read after the main configuration file; its keys win.
extern const char* const overlayConfigurationFile;

class ServerConfig {
public:
    ServerConfig() = default;
    // Resumes the server's editor when the control connection is still open.
    ~ServerConfig();
    ServerConfig(const ServerConfig&) = delete;
    ServerConfig& operator=(const ServerConfig&) = delete;

    // Finds the installation and reads the main file (serverConfigPath, or
    // <root>/server/production.yaml when empty), then the overlay file. True when the main
    // file was read; otherwise one error line.
    bool readServerConfiguration(const QString& serverConfigPath);

    // Reads one file by the line grammar. False only when it is missing or cannot be opened.
    bool parseConfigurationFile(QFile& file);

    // Control channel to the running server. None of these reports an error.
    bool connectToServer();
    void sendControlMessage(const QString& name);
    // Asks the server to suspend its editor and waits, without a time limit, for its
    // "server-suspended" line or for the connection to end.
    void suspendServer();
    void resumeServer();

    QString databaseLocation;
    QString reportingDatabaseLocation;
    QString assetRoot;
    QString backupRoot;
    QString serverFolder; // installation root + "/server/"
    int controlPort = 9299;
    QString workFolder; // ends in "/"
    QTcpSocket controlSocket;
    QString configurationFile; // the main file that readServerConfiguration read
};

// Applies one raw line of a configuration file by the line grammar (clean-up, quotes removed,
// the first of the five key prefixes that matches decides); other lines change nothing.
// Returns the key that decided ("db:"), or null; value, when given, receives its value text.
const char* applyConfigurationLine(ServerConfig& config, const QByteArray& rawLine,
                                   QString* value = nullptr);

// The absolute local path that a configured location names: every "sqlite://" removed, a
// relative remainder taken against serverFolder (relativeToServerFolder) or the current folder.
QString resolvePath(const ServerConfig& config, QString location, bool relativeToServerFolder);
