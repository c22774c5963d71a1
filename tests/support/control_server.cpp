// A stand-in for the running server's control port: records what it receives, answers per mode.
#include "tests/support/control_server.h"

#include <QEventLoop>
#include <QMutexLocker>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>

FakeControlServer::FakeControlServer(Mode mode) : m_mode(mode)
{
    start();
    // Bounded: a server that cannot listen leaves port 0, which tests see as "no server".
    m_listening.tryAcquire(1, 10000);
}

FakeControlServer::~FakeControlServer()
{
    quit();
    wait(10000);
}

QByteArray FakeControlServer::received() const
{
    QMutexLocker lock(&m_mutex);
    return m_received;
}

int FakeControlServer::connectionCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_connections;
}

void FakeControlServer::run()
{
    QTcpServer server;
    if (server.listen(QHostAddress::Any, 0))
        m_port = server.serverPort();
    m_listening.release();

    QObject::connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
        while (QTcpSocket* socket = server.nextPendingConnection()) {
            {
                QMutexLocker lock(&m_mutex);
                ++m_connections;
            }
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                const QByteArray bytes = socket->readAll();
                {
                    QMutexLocker lock(&m_mutex);
                    m_received += bytes;
                }
                if (!bytes.contains("start-backup"))
                    return;
                switch (m_mode) {
                case Mode::Answer:
                    socket->write("{\"msg\" : \"server-suspended\"}\n");
                    break;
                case Mode::Drop:
                    socket->disconnectFromHost();
                    break;
                case Mode::AnswerInPieces:
                    socket->write("{\"msg\" : \"ack\"}\n{\"msg\" : \"server-");
                    socket->flush();
                    QThread::msleep(50);
                    socket->write("susp");
                    socket->flush();
                    QThread::msleep(50);
                    socket->write("ended\"}\n");
                    break;
                case Mode::AnswerAmongLines:
                    socket->write("{\"msg\" : \"ack\"}\n"
                                  "{\"state\" : \"server-suspended\", \"since\" : 3}\n"
                                  "{\"msg\" : \"later\"}\n");
                    break;
                }
            });
        }
    });
    exec();
}
