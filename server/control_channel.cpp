// The control-port conversation with the running server: suspend and resume its editor.
#include "server/control_answer.h"
#include "server/server_config.h"

#include "platform/brisken/trace.h"
#include "sys/interrupt.h"

namespace {

const int connectTimeoutMs = 2000;
const int writeTimeoutMs = 2000;
const QByteArray answer = QByteArrayLiteral("server-suspended");
// Past this, an unfinished line keeps only the tail in which the answer could still begin.
const int longLineBytes = 64 * 1024;

} // namespace

bool ControlAnswerReader::feed(const QByteArray& bytes)
{
    int start = 0;
    for (int end = bytes.indexOf('\n'); end >= 0; end = bytes.indexOf('\n', start)) {
        m_line += QByteArray::fromRawData(bytes.constData() + start, end - start);
        if (m_lineHasAnswer || m_line.contains(answer))
            return true;
        m_line.clear();
        start = end + 1;
    }
    m_line += QByteArray::fromRawData(bytes.constData() + start, bytes.size() - start);
    if (m_line.size() > longLineBytes) {
        m_lineHasAnswer = m_lineHasAnswer || m_line.contains(answer);
        m_line = m_line.right(answer.size() - 1);
    }
    return false;
}

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

    ControlAnswerReader reader;
    for (;;) {
        // What has arrived comes first: the answer may have come with an earlier line.
        if (reader.feed(controlSocket.readAll()))
            return;
        // A dropped connection ends the wait; the socket is closed so that nothing is later
        // written to it.
        if (controlSocket.state() != QAbstractSocket::ConnectedState) {
            controlSocket.close();
            return;
        }
        // No time limit, but a stop request ends the wait; the socket stays open, so the
        // editor is resumed when the command ends.
        if (Interrupt::waitReadable(int(controlSocket.socketDescriptor()), -1)
            == Interrupt::Wait::Stopped)
            return;
        controlSocket.waitForReadyRead(0);
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
