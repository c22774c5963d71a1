// The control-port conversation with the running server: suspend and resume its editor.
#include "server/server_config.h"

#include "platform/brisken/trace.h"

namespace {

const int connectTimeoutMs = 2000;
const int writeTimeoutMs = 2000;

} // namespace

ServerConfig::~ServerConfig()
{
    resumeServer();
}

bool ServerConfig::connectToServer()
{
    controlSocket.connectToHost(QStringLiteral("localhost"), quint16(controlPort),
                                QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    const bool connected = controlSocket.waitForConnected(connectTimeoutMs);
    if (!connected)
        controlSocket.close();
    return connected;
}

void ServerConfig::sendControlMessage(const QString& name)
{
    const QByteArray line = QStringLiteral("{\"msg\" : \"%1\"}\n").arg(name).toUtf8();
    controlSocket.write(line);
    if (controlSocket.state() == QAbstractSocket::ConnectedState)
        controlSocket.waitForBytesWritten(writeTimeoutMs);
}

void ServerConfig::suspendServer()
{
    if (!controlSocket.isOpen())
        return;
    Brisken::Trace::info("Suspending Vellacor Editor");
    sendControlMessage(QStringLiteral("start-backup"));

    while (controlSocket.isOpen()) {
        // Lines already buffered come first: the answer may have arrived with an earlier one.
        while (controlSocket.canReadLine()) {
            if (controlSocket.readLine().contains("server-suspended"))
                return;
        }
        // Without a time limit this returns false only when the connection has ended. The
        // socket is closed then, so that nothing is later written to a dead connection.
        if (!controlSocket.waitForReadyRead(-1)) {
            controlSocket.close();
            return;
        }
    }
}

void ServerConfig::resumeServer()
{
    if (!controlSocket.isOpen())
        return;
    Brisken::Trace::info("Resuming Vellacor Editor");
    sendControlMessage(QStringLiteral("finish-backup"));
    controlSocket.close();
}
