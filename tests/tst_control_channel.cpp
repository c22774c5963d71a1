// The control-port conversation over real TCP with a scripted server.
#include "server/server_config.h"
#include "tests/support/control_server.h"
#include "tests/support/test_support.h"

#include <QTcpServer>
#include <QtTest>

namespace {

const QByteArray startBackup = "{\"msg\" : \"start-backup\"}\n";
const QByteArray finishBackup = "{\"msg\" : \"finish-backup\"}\n";

// A port on which nothing listens.
int closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

} // namespace

class tst_ControlChannel : public QObject {
    Q_OBJECT

private slots:
    void suspendAndResume_data();
    void suspendAndResume();
    void noServer_data();
    void noServer();
    void destructorResumes();
};

void tst_ControlChannel::suspendAndResume_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("suspended"); // the socket is still open after the wait

    QTest::newRow("answer at once") << int(FakeControlServer::Mode::Answer) << true;
    QTest::newRow("answer in pieces after another line")
        << int(FakeControlServer::Mode::AnswerInPieces) << true;
    QTest::newRow("answer among other lines of one write")
        << int(FakeControlServer::Mode::AnswerAmongLines) << true;
    QTest::newRow("connection dropped instead of an answer")
        << int(FakeControlServer::Mode::Drop) << false;
}

void tst_ControlChannel::suspendAndResume()
{
    QFETCH(int, mode);
    QFETCH(bool, suspended);
    FakeControlServer server{FakeControlServer::Mode(mode)};
    QVERIFY(server.port() != 0);
    ServerConfig config;
    config.controlPort = server.port();

    TraceCapture trace;
    QVERIFY(config.connectToServer());
    config.suspendServer();
    QCOMPARE(config.controlSocket.isOpen(), suspended);
    QCOMPARE(server.received(), startBackup);
    QCOMPARE(server.received().size(), 25);

    config.resumeServer();
    QVERIFY(!config.controlSocket.isOpen());
    if (suspended) {
        QTRY_COMPARE_WITH_TIMEOUT(server.received(), startBackup + finishBackup, 10000);
        QCOMPARE(finishBackup.size(), 26);
        QCOMPARE(trace.lines(), (QStringList{"[info] Suspending Vellacor Editor",
                                             "[info] Resuming Vellacor Editor"}));
    } else {
        // Nothing is written to a connection that the server has ended.
        QCOMPARE(trace.lines(), QStringList{"[info] Suspending Vellacor Editor"});
        QCOMPARE(server.received(), startBackup);
    }
    QCOMPARE(server.connectionCount(), 1);
}

void tst_ControlChannel::noServer_data()
{
    QTest::addColumn<int>("port");
    QTest::newRow("nothing listening") << closedPort();
    QTest::newRow("port 0") << 0;
}

void tst_ControlChannel::noServer()
{
    QFETCH(int, port);
    ServerConfig config;
    config.controlPort = port;

    TraceCapture trace;
    QVERIFY(!config.connectToServer());
    QVERIFY(!config.controlSocket.isOpen());
    config.suspendServer();
    config.resumeServer();
    QCOMPARE(trace.lines(), QStringList());
}

void tst_ControlChannel::destructorResumes()
{
    FakeControlServer server{FakeControlServer::Mode::Answer};
    TraceCapture trace;
    {
        ServerConfig config;
        config.controlPort = server.port();
        QVERIFY(config.connectToServer());
        config.suspendServer();
    }
    QTRY_COMPARE_WITH_TIMEOUT(server.received(), startBackup + finishBackup, 10000);
    QCOMPARE(trace.lines(), (QStringList{"[info] Suspending Vellacor Editor",
                                         "[info] Resuming Vellacor Editor"}));
}

QTEST_GUILESS_MAIN(tst_ControlChannel)
#include "tst_control_channel.moc"
