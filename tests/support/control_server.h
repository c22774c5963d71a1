// A stand-in for the running server's control port: records what it receives, answers per mode.
#pragma once

#include <QByteArray>
#include <QMutex>
#include <QSemaphore>
#include <QThread>

class FakeControlServer : public QThread {
public:
    enum class Mode {
        Answer,        // "server-suspended" after a start-backup line
        Drop,          // closes the connection on a start-backup line, without an answer
        AnswerInPieces, // an acknowledgement first, then the answer split over several writes
        AnswerAmongLines // one write: an acknowledgement, the answer inside text, one more line
    };

    // Listens on every local address (localhost may resolve to either protocol), port free.
    explicit FakeControlServer(Mode mode);
    ~FakeControlServer() override;

    quint16 port() const { return m_port; }
    // Every byte received on every connection, in arrival order.
    QByteArray received() const;
    int connectionCount() const;

protected:
    void run() override;

private:
    const Mode m_mode;
    quint16 m_port = 0;
    QSemaphore m_listening;
    mutable QMutex m_mutex;
    QByteArray m_received;
    int m_connections = 0;
};
