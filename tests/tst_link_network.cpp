// The network link against a TCP server of the test's own on 127.0.0.1: it connects in the
// background, with the socket options that keep pauses and find a silent peer; a server that cannot
// be reached is told and held back (1 s, then twice as long); what a server says before it closes
// is its message, never received bytes; a connection the server closes is lost.
#include "link/network_link.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

int intOption(qintptr fd, int level, int name)
{
    int value = -1;
    socklen_t size = sizeof value;
    if (::getsockopt(int(fd), level, name, &value, &size) != 0)
        return -1;
    return value;
}

QString entryOf(quint16 port)
{
    return QStringLiteral("tcp://127.0.0.1:%1").arg(port);
}

quint16 unusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort(); // closed when `probe` goes: nothing listens there afterwards
}

} // namespace

class TestNetworkLink : public QObject
{
    Q_OBJECT
private slots:
    void opensInTheBackgroundAndCarriesBytes()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        NetworkLink link;
        QSignalSpy opened(&link, &NetworkLink::openChanged);
        QCOMPARE(link.open(3, entryOf(server.serverPort())), LinkFailure::Connecting);
        QCOMPARE(link.state(), LinkState::Opening);
        QVERIFY(!link.isOpen());
        QVERIFY(opened.wait(5000));
        QCOMPARE(opened.first().first().toBool(), true);
        QVERIFY(link.isOpen());
        QCOMPARE(link.openDevicePath(), entryOf(server.serverPort()));

        const qintptr fd = link.socket()->socketDescriptor();
        QCOMPARE(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
        QCOMPARE(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
        QCOMPARE(intOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), NetworkLink::kUserTimeoutMs);
        QVERIFY(intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE) * 1000
                + intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL) * 1000 * intOption(fd, IPPROTO_TCP, TCP_KEEPCNT)
            <= 10000);

        QVERIFY(server.hasPendingConnections() || server.waitForNewConnection(2000));
        QTcpSocket *peer = server.nextPendingConnection();
        QSignalSpy written(&link, &NetworkLink::written);
        QVERIFY(link.write(QByteArray("\x00\x46\x4D", 3)));
        QVERIFY(link.write(QByteArray("\xFF\x0D", 2)));
        QCOMPARE(written.size(), 2);
        QByteArray got;
        QVERIFY(QTest::qWaitFor(
            [&] {
                got += peer->readAll();
                return got.size() >= 5;
            },
            5000));
        QCOMPARE(got, QByteArray("\x00\x46\x4D\xFF\x0D", 5));

        QByteArray received;
        connect(&link, &NetworkLink::received, this, [&](const QByteArray &b) { received += b; });
        peer->write("Pfwd=1W,$");
        QVERIFY(QTest::qWaitFor([&] { return received == "Pfwd=1W,$"; }, 5000));
    }

    void refusedServerIsToldAndHeldBack()
    {
        const quint16 port = unusedPort();
        NetworkLink link;
        QSignalSpy failed(&link, &NetworkLink::failed);
        QCOMPARE(link.open(1, entryOf(port)), LinkFailure::Connecting);
        QVERIFY(failed.wait(5000));
        QCOMPARE(failed.first().at(0).value<LinkFailure>(), LinkFailure::Unreachable);
        const QString text = failed.first().at(1).toString();
        QVERIFY2(
            text.contains(entryOf(port)) && text.contains("refused", Qt::CaseInsensitive), qPrintable(text));
        QCOMPARE(link.state(), LinkState::Closed);
        QCOMPARE(link.retryDelayMs(), NetworkLink::kFirstRetryMs);

        // Held back: asked again at once, it tries nothing and says the same.
        QCOMPARE(link.open(1, entryOf(port)), LinkFailure::Unreachable);
        QCOMPARE(link.state(), LinkState::Closed);
        QCOMPARE(link.lastErrorText(), text);

        // Once the delay has passed it tries again, and waits twice as long after a second failure.
        QTest::qWait(NetworkLink::kFirstRetryMs + 100);
        QCOMPARE(link.open(1, entryOf(port)), LinkFailure::Connecting);
        QVERIFY(failed.wait(5000));
        QCOMPARE(link.retryDelayMs(), 2 * NetworkLink::kFirstRetryMs);
    }

    // ser2net's way with a second client: its message, then a close.
    void serverTextBeforeCloseIsItsMessage()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        connect(&server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *peer = server.nextPendingConnection();
            peer->write("Port already in use\r\n");
            peer->disconnectFromHost();
        });
        NetworkLink link;
        QSignalSpy failed(&link, &NetworkLink::failed);
        QSignalSpy opened(&link, &NetworkLink::openChanged);
        QSignalSpy received(&link, &NetworkLink::received);
        QCOMPARE(link.open(1, entryOf(server.serverPort())), LinkFailure::Connecting);
        QVERIFY(failed.wait(5000));
        QCOMPARE(failed.first().at(0).value<LinkFailure>(), LinkFailure::Busy);
        QVERIFY2(failed.first().at(1).toString().contains("\"Port already in use\""),
            qPrintable(failed.first().at(1).toString()));
        QCOMPARE(received.size(), 0);
        QCOMPARE(opened.size(), 0);
        QCOMPARE(link.state(), LinkState::Closed);
    }

    void connectionClosedByTheServerIsLost()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        NetworkLink link;
        QSignalSpy opened(&link, &NetworkLink::openChanged);
        link.open(1, entryOf(server.serverPort()));
        QVERIFY(opened.wait(5000));
        QVERIFY(server.hasPendingConnections() || server.waitForNewConnection(2000));
        QTcpSocket *peer = server.nextPendingConnection();
        QSignalSpy failed(&link, &NetworkLink::failed);
        peer->close();
        QVERIFY(failed.wait(5000));
        QCOMPARE(failed.first().at(0).value<LinkFailure>(), LinkFailure::Lost);
        QVERIFY(failed.first().at(1).toString().contains(entryOf(server.serverPort())));
        QCOMPARE(opened.size(), 2);
        QCOMPARE(opened.last().first().toBool(), false);
        QVERIFY(!link.isOpen());
        QCOMPARE(link.retryDelayMs(), NetworkLink::kFirstRetryMs);
    }

    // An RFC 2217 server that sets another baud rate while the connection settles, and later turns
    // the Com Port Control option off: each is told with the address once the link is open, the
    // link stays open, and the bytes around them still arrive.
    void refusedLineSettingIsToldAndTheLinkStaysOpen()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QTcpSocket *peer = nullptr;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            peer = server.nextPendingConnection();
            // SET-BAUDRATE answered (101) with 4800, then a byte that is the server's greeting: the
            // link is not open yet.
            peer->write(QByteArray::fromHex("fffa2c65000012c0fff0") + "A");
        });
        const QString entry = QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.serverPort());
        NetworkLink link;
        QSignalSpy failed(&link, &NetworkLink::failed);
        QSignalSpy opened(&link, &NetworkLink::openChanged);
        QSignalSpy received(&link, &NetworkLink::received);
        QCOMPARE(link.open(2, entry), LinkFailure::Connecting);
        QVERIFY(opened.wait(5000));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().at(0).value<LinkFailure>(), LinkFailure::SettingRejected);
        const QString text = failed.first().at(1).toString();
        QVERIFY2(
            text.contains(entry) && text.contains("COM 2") && text.contains("4800") && text.contains("9600"),
            qPrintable(text));
        QVERIFY(link.isOpen());

        peer->write(QByteArray::fromHex("fffe2c") + "B"); // DONT COM-PORT-OPTION
        QVERIFY(failed.wait(5000));
        QCOMPARE(failed.last().at(0).value<LinkFailure>(), LinkFailure::SettingRejected);
        QVERIFY2(failed.last().at(1).toString().contains("COM-PORT-OPTION"),
            qPrintable(failed.last().at(1).toString()));
        QVERIFY(link.isOpen());
        QCOMPARE(opened.size(), 1);
        QVERIFY(QTest::qWaitFor([&] { return !received.isEmpty(); }, 5000));
        QCOMPARE(received.last().first().toByteArray(), QByteArray("B"));
    }

    void entryThatDoesNotParseIsMissing()
    {
        NetworkLink link;
        QCOMPARE(link.open(4, "tcp://hill:0?key=/k/secret.key"), LinkFailure::Missing);
        QVERIFY(link.lastErrorText().contains("COM 4"));
        QVERIFY(!link.lastErrorText().contains("secret"));
        QCOMPARE(link.state(), LinkState::Closed);
    }
};

QTEST_GUILESS_MAIN(TestNetworkLink)
#include "tst_link_network.moc"
