#include "session/session.h"
#include "settings/record.h"
#include "support/pty_pair.h"
#include "support/session_access.h"
#include "support/test_env.h"

#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

// The status request and the status monitor, as the session runs them against a real serial line:
// a pseudo-terminal whose slave the link opens (COM 1 in the store's port map) and whose master
// plays the transmitter. COM 2 maps to a device that does not exist.
class TestSessionStatus : public QObject
{
    Q_OBJECT

    TestStoreHome m_home; // before anything may touch the store
    PtyPair m_pty;
    TransmitterSession *m_session = nullptr;
    StatusMonitor *m_monitor = nullptr;
    SerialLink *m_link = nullptr; // the session's, a serial one: COM 1 is a device path

    // Waits until at least `count` bytes have come out of the panel and returns all that came.
    QByteArray readWritten(int count) { return m_pty.waitForWritten(count, 5000); }

    void transmit(const QByteArray &bytes) { QVERIFY(m_pty.write(bytes)); }

    static QByteArray statusFrame() { return QByteArray("\x00\x46\x4D\x01\x20\x02", 6); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_pty.isValid());
        m_home.writeStore("[Ports]\nCOM1=" + QFile::encodeName(m_pty.path())
            + "\nCOM2=" + QFile::encodeName(QDir(m_home.configHome()).filePath("no-such-tty")) + "\n");
    }

    void init()
    {
        settingsRecord().COMSelected = 1;
        m_session = new TransmitterSession;
        m_monitor = &SessionTestAccess::monitor(*m_session);
        m_link = SessionTestAccess::serialLink(*m_session);
        QVERIFY(m_link);
    }

    void cleanup()
    {
        delete m_session;
        QTest::qWait(20);
        m_pty.takeWritten();
    }

    void requestWritesTheStatusFrame()
    {
        m_monitor->receive("Pfwd=1"); // a request leaves what was collected alone
        QSignalSpy progress(m_session, &TransmitterSession::progress);
        QCOMPARE(m_session->readStatus(), TransmitterSession::Outcome::Started);

        QCOMPARE(progress.size(), 2);
        const QVariantList requesting { QStringLiteral("Requesting DATA from the transmitter... 60%"), 12 };
        QCOMPARE(progress[0], requesting);
        QCOMPARE(progress[1], (QVariantList { QStringLiteral("Ready"), 0 }));
        QCOMPARE(readWritten(6), statusFrame());
        QCOMPARE(m_monitor->buffer(), QStringLiteral("Pfwd=1"));
    }

    void missingPortWritesNothing()
    {
        settingsRecord().COMSelected = 2;
        QSignalSpy progress(m_session, &TransmitterSession::progress);
        QSignalSpy missing(m_session, &TransmitterSession::missingPort);
        QCOMPARE(m_session->readStatus(), TransmitterSession::Outcome::NoPort);
        settingsRecord().COMSelected = 1;

        QCOMPARE(missing.size(), 1);
        QCOMPARE(progress.size(), 0);
        QVERIFY(!m_link->isOpen());
        // The next request on an existing port goes out whole, so nothing came before it.
        m_session->readStatus();
        QCOMPARE(readWritten(6), statusFrame());
    }

    // An adapter gone before the request's first write: the request stops there, nothing more goes
    // out, and the last word of the progress report is the text naming the lost device.
    void requestStopsAtTheFirstFailedWrite()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        PtyPair adapter(dir.filePath("usb-Adapter-if00"));
        QVERIFY(adapter.isValid());
        const QByteArray store = m_home.storeBytes();
        m_home.writeStore("[Ports]\nCOM3=" + QFile::encodeName(adapter.path()) + "\n");
        settingsRecord().COMSelected = 3;
        QCOMPARE(m_session->readStatus(), TransmitterSession::Outcome::Started);
        QCOMPARE(adapter.waitForWritten(6), statusFrame());

        adapter.unplug(); // the event loop does not run before the next request: its write finds out
        QSignalSpy progress(m_session, &TransmitterSession::progress);
        QSignalSpy failed(m_session, &TransmitterSession::linkFailed);
        m_session->readStatus();
        m_home.writeStore(store);

        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed[0][0].value<LinkFailure>(), LinkFailure::Lost);
        const QString lost = failed[0][1].toString();
        QVERIFY2(lost.contains(adapter.path()), qPrintable(lost));
        QCOMPARE(progress.size(), 1);
        QCOMPARE(progress[0], (QVariantList { lost, 0 }));
        QVERIFY(!m_link->isOpen());
        QVERIFY(!m_session->isRunning());
    }

    // The serial layer stops delivering while the port looks open (its notifications blocked here,
    // as a read notifier that was switched off would leave it): once the display goes stale the
    // session opens the port afresh, once, and answers come in again.
    void silentLineIsOpenedAfresh()
    {
        m_monitor->setStaleAfterMs(400);
        QSignalSpy reopened(m_session, &TransmitterSession::lineReopened);
        int reportsBeforeReopen = -1;
        QSignalSpy display(m_session, &TransmitterSession::displayChanged);
        connect(m_session, &TransmitterSession::lineReopened, this,
            [&] { reportsBeforeReopen = int(display.size()); });
        m_session->readStatus();
        QCOMPARE(readWritten(6), statusFrame());
        m_link->port()->blockSignals(true);
        const QSerialPort *stuck = m_link->port();

        QElapsedTimer clock;
        clock.start();
        while (reopened.isEmpty() && clock.elapsed() < 5000) {
            m_session->readStatus();
            readWritten(6);
            transmit("Pfwd=7W,$");
            QTest::qWait(100);
        }
        QCOMPARE(reopened.size(), 1);
        QCOMPARE(reportsBeforeReopen, 0); // nothing came through the stuck port
        QCOMPARE(reopened[0][0].toString(), m_pty.path());
        QVERIFY(m_link->isOpen());
        QVERIFY(m_link->port() != stuck);

        m_session->readStatus();
        QCOMPARE(readWritten(6), statusFrame());
        transmit("Pfwd=8W,$");
        QTRY_COMPARE(m_monitor->display().texts[0], QStringLiteral("8W"));
        QCOMPARE(reopened.size(), 1);
    }

    void reportInBurstsUpdatesTheDisplay()
    {
        m_session->readStatus(); // opens the link
        QCOMPARE(readWritten(6), statusFrame());
        QSignalSpy display(m_monitor, &StatusMonitor::displayChanged);
        QSignalSpy buffer(m_monitor, &StatusMonitor::bufferChanged);

        const QByteArray answer = "Pfwd=12.5W,Pref=0.3W,Tpsu=31C,Firmware=v2.07b,AlarmCode=21,Audio=K$";
        transmit(answer.left(9));
        QTRY_COMPARE(m_monitor->buffer(), QString::fromLatin1(answer.left(9)));
        transmit(answer.mid(9, 30));
        QTRY_COMPARE(m_monitor->buffer().size(), 39);
        QCOMPARE(display.size(), 0);
        transmit(answer.mid(39));
        QTRY_COMPARE(display.size(), 1);

        const report::Display &d = m_monitor->display();
        QCOMPARE(d.texts[0], QStringLiteral("12.5W"));
        QCOMPARE(d.texts[1], QStringLiteral("0.3W"));
        QCOMPARE(d.texts[2], QStringLiteral("31C"));
        QCOMPARE(d.texts[13], QStringLiteral("v2.07b"));
        QCOMPARE(d.texts[3], QStringLiteral("20C")); // not in the report
        QCOMPARE(d.driveLevel, 'K' - '0');
        QCOMPARE(d.alarms, (alarms::States { true, false, true, false, true }));
        QVERIFY(m_monitor->buffer().isEmpty());
        QVERIFY(buffer.size() >= 3);
    }

    // clang-format off
    void tick_data()
    {
        QTest::addColumn<bool>("autoRead");
        QTest::addColumn<int>("gate"); // 0 none set, 1 lets ticks through, 2 holds them back
        QTest::addColumn<bool>("writes");
        QTest::newRow("auto read off") << false << 0 << false;
        QTest::newRow("auto read off, gate open") << false << 1 << false;
        QTest::newRow("auto read on") << true << 0 << true;
        QTest::newRow("auto read on, gate open") << true << 1 << true;
        QTest::newRow("auto read on, gate shut") << true << 2 << false;
    }
    // clang-format on
    void tick()
    {
        QFETCH(bool, autoRead);
        QFETCH(int, gate);
        QFETCH(bool, writes);
        m_session->readStatus(); // opens the link, so a tick that writes needs no open of its own
        QCOMPARE(readWritten(6), statusFrame());

        // The record says the opposite: only what the session was told counts.
        settingsRecord().AutoRead = !autoRead;
        m_session->setAutoRead(autoRead);
        if (gate)
            m_session->setTickHold([gate] { return gate == 2; });
        QSignalSpy progress(m_session, &TransmitterSession::progress);
        m_session->tick();
        QCOMPARE(progress.size(), writes ? 2 : 0);

        // A marker request afterwards: exactly one frame before it if the tick wrote, none if not.
        m_session->readStatus();
        const QByteArray expected = writes ? statusFrame() + statusFrame() : statusFrame();
        QCOMPARE(readWritten(expected.size()), expected);
    }

    void staleAfterUnansweredRequests()
    {
        QCOMPARE(m_monitor->staleAfterMs(), StatusMonitor::kStaleAfterMs);
        m_monitor->setStaleAfterMs(300);
        QSignalSpy stale(m_monitor, &StatusMonitor::staleChanged);
        QVERIFY(!m_monitor->lastReportTime().isValid());

        m_session->readStatus();
        QVERIFY(!m_monitor->isStale());
        // No further request: the monitor's own timer notices the silence.
        QTRY_VERIFY_WITH_TIMEOUT(m_monitor->isStale(), 5000);
        QCOMPARE(stale.size(), 1);
        QCOMPARE(stale[0][0].toBool(), true);
        m_session->readStatus();
        QCOMPARE(stale.size(), 1); // no second "stale" while it stays so

        const QDateTime before = QDateTime::currentDateTime();
        transmit("Pfwd=2W,$");
        QTRY_COMPARE(stale.size(), 2);
        QCOMPARE(stale[1][0].toBool(), false);
        QVERIFY(!m_monitor->isStale());
        QVERIFY(m_monitor->lastReportTime() >= before);
        QVERIFY(m_monitor->lastReportTime() <= QDateTime::currentDateTime());
        QCOMPARE(m_monitor->display().texts[0], QStringLiteral("2W"));
    }

    // A "$" after none of the report's fields, however often it comes, is no report: after one
    // real report the display, what it carried and when it came stay, and requests answered only
    // so go stale. The next real report is one again.
    void dollarAloneIsNoReport()
    {
        m_monitor->setStaleAfterMs(300);
        QSignalSpy display(m_monitor, &StatusMonitor::displayChanged);
        m_session->readStatus();
        QCOMPARE(readWritten(6), statusFrame());
        transmit("Pfwd=5W,Uptime=0001D:00H:00M,AlarmCode=01,$");
        QTRY_COMPARE(display.size(), 1);
        const QDateTime last = m_monitor->lastReportTime();
        const report::Display shown = m_monitor->display();

        QElapsedTimer clock;
        clock.start();
        while (!m_monitor->isStale() && clock.elapsed() < 10000) {
            m_session->readStatus();
            transmit("$noise,$$");
            QTest::qWait(50);
        }
        QVERIFY(m_monitor->isStale());
        QCOMPARE(display.size(), 1);
        QCOMPARE(m_monitor->lastReportTime(), last);
        QVERIFY(m_monitor->display() == shown);
        QCOMPARE(m_monitor->display().carried, shown.carried);
        QCOMPARE(m_monitor->display().alarmCode, QStringLiteral("01"));

        transmit("Pref=1W,$");
        QTRY_COMPARE(display.size(), 2);
        QVERIFY(!m_monitor->isStale());
        QVERIFY(m_monitor->lastReportTime() >= last);
        QVERIFY(!m_monitor->display().has(0)); // the forward power came with the earlier report
    }

    void answeredRequestsNeverTurnStale()
    {
        m_monitor->setStaleAfterMs(200);
        QSignalSpy stale(m_monitor, &StatusMonitor::staleChanged);
        for (int i = 0; i < 4; ++i) {
            m_session->readStatus();
            m_monitor->receive("Pfwd=1W,$");
            QTest::qWait(100);
        }
        QTest::qWait(300); // past the interval with no request outstanding
        QVERIFY(!m_monitor->isStale());
        QCOMPARE(stale.size(), 0);
    }

    // bufferChanged only when the collected text differs afterwards.
    // clang-format off
    void bufferChanged_data()
    {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QByteArray>("then");
        QTest::addColumn<bool>("changed");
        QTest::addColumn<int>("reports");
        QTest::newRow("characters appended") << QByteArray("ab") << QByteArray("c") << true << 0;
        QTest::newRow("report ends") << QByteArray("Pfwd=1W,") << QByteArray("$") << true << 1;
        QTest::newRow("no field ends") << QByteArray("ab") << QByteArray("$") << true << 0;
        QTest::newRow("empty report on empty buffer") << QByteArray() << QByteArray("$") << false << 0;
        QTest::newRow("same text collected again") << QByteArray("ab") << QByteArray("$ab") << false << 0;
        QTest::newRow("same report collected again")
            << QByteArray("Tpsu=3C,") << QByteArray("$Tpsu=3C,") << false << 1;
        QTest::newRow("nothing received") << QByteArray("ab") << QByteArray() << false << 0;
    }
    // clang-format on
    void bufferChanged()
    {
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, then);
        QFETCH(bool, changed);
        QFETCH(int, reports);
        m_monitor->receive(first);
        QSignalSpy buffer(m_monitor, &StatusMonitor::bufferChanged);
        QSignalSpy display(m_monitor, &StatusMonitor::displayChanged);
        m_monitor->receive(then);
        QCOMPARE(buffer.size(), changed ? 1 : 0);
        QCOMPARE(display.size(), reports);
    }

    void clearBufferEmptiesIt()
    {
        QSignalSpy buffer(m_monitor, &StatusMonitor::bufferChanged);
        m_monitor->clearBuffer();
        QCOMPARE(buffer.size(), 0);
        m_monitor->receive("Pfwd=9W,");
        m_monitor->clearBuffer();
        QCOMPARE(buffer.size(), 2);
        QVERIFY(m_monitor->buffer().isEmpty());
        m_monitor->receive("Pref=1W,$");
        QCOMPARE(m_monitor->display().texts[0], QStringLiteral("0.0W")); // the cleared text is gone
        QCOMPARE(m_monitor->display().texts[1], QStringLiteral("1W"));
    }
};

QTEST_GUILESS_MAIN(TestSessionStatus)
#include "tst_session_status.moc"
