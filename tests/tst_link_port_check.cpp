// The port check before every sender: the stored port applied, a closed link opened, and the
// missing-port message told at most once per stored port to the auto-read tick, so that a box
// every second cannot lock the operator out of File > Setup.
#include "link/port_check.h"
#include "link/serial_link.h"
#include "settings/record.h"
#include "support/pty_pair.h"
#include "support/test_env.h"

#include <QMap>
#include <QtTest>

class TestPortCheck : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void messageText();
    void policy_data();
    void policy();
    void readyCheckWritesNothing();

private:
    TestStoreHome *m_home = nullptr;
};

void TestPortCheck::initTestCase()
{
    m_home = new TestStoreHome;
}

void TestPortCheck::messageText()
{
    QCOMPARE(QString::fromLatin1(kMissingPortText),
        QStringLiteral(
            "The selected COM port does not exist, please select another port under File > Setup"));
}

void TestPortCheck::policy_data()
{
    // A script of steps, and what each check did: R ready, M missing, F failed, followed by "!"
    // when it told the operator (missingPort or linkProblem). Ports 1 and 2 do not exist, port 3
    // is a pseudo-terminal, port 4 one that another program holds.
    //   cN command check on stored port N     tN tick     pN port choice     uN start-up
    //   s / h  the message box shows / is dismissed       n  portChosen()
    //   x  the link is closed (window deactivated)        +N / -N  port N's device appears / goes
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("outcomes");

    // clang-format off
    QTest::newRow("a command always tells")                   << "c1 c1 c1"            << "M! M! M!";
    QTest::newRow("start-up and port choice always tell")     << "u1 p1 p1"            << "M! M! M!";
    QTest::newRow("a tick tells once per stored port")        << "t1 t1 t1"            << "M! M M";
    QTest::newRow("another stored port is told again")        << "t1 t1 t2 t2 t1"      << "M! M M! M M!";
    QTest::newRow("portChosen re-arms the tick")              << "t1 t1 n t1 t1"       << "M! M M! M";
    QTest::newRow("an explicit check re-arms the tick")       << "t1 t1 c1 t1 t1"      << "M! M M! M! M";
    // A Missing on a port that exists can only mean the tick did not even try.
    QTest::newRow("a tick under the message does nothing")    << "s t3 t3 h t3"        << "M M R";
    QTest::newRow("the message does not silence a command")   << "s c1 c1"             << "M! M!";
    QTest::newRow("a silent tick still tries to open")        << "t1 t1 +1 t1"         << "M! M R";
    QTest::newRow("a port that came back re-arms")            << "t1 +1 t1 x -1 t1 t1" << "M! R M! M";
    QTest::newRow("other failures are told every time")       << "t4 t4 c4"            << "F! F! F!";
    QTest::newRow("an open link stays on its port")           << "c3 t1 c1 x c1"       << "R R R M!";
    QTest::newRow("a closed link reopens on the stored port") << "c3 x t3 x c3"        << "R R R";
    // clang-format on
}

void TestPortCheck::policy()
{
    QFETCH(QString, steps);
    QFETCH(QString, outcomes);

    PtyPair three, four;
    QVERIFY(three.isValid() && four.isValid());
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QMap<int, QString> devices { { 1, dir.filePath("ttyNONE1") }, { 2, dir.filePath("ttyNONE2") },
        { 3, three.path() }, { 4, four.path() } };
    SerialLink holder;
    QCOMPARE(holder.open(1, four.path()), LinkFailure::None);

    SerialLink link;
    PortCheck check(link);
    int told = 0;
    connect(&check, &PortCheck::missingPort, this, [&] { ++told; });
    connect(&check, &PortCheck::linkProblem, this, [&](const QString &text) {
        QVERIFY2(!text.isEmpty(), "a problem comes with a text");
        ++told;
    });

    QStringList seen;
    for (const QString &step : steps.split(' ')) {
        const QChar op = step.at(0);
        const int port = step.mid(1).toInt();
        if (op == 's' || op == 'h') {
            check.setMessageShowing(op == 's');
        } else if (op == 'n') {
            check.portChosen();
        } else if (op == 'x') {
            link.close();
        } else if (op == '+') {
            devices[port] = three.path();
        } else if (op == '-') {
            devices[port] = dir.filePath("gone");
        } else {
            const CheckOrigin origin = op == 'c' ? CheckOrigin::Command
                : op == 't'                      ? CheckOrigin::Tick
                : op == 'p'                      ? CheckOrigin::PortChoice
                                                 : CheckOrigin::Startup;
            told = 0;
            const CheckResult result = check.run(origin, port, devices.value(port));
            QString outcome = result == CheckResult::Ready ? "R" : result == CheckResult::Missing ? "M" : "F";
            if (told > 0)
                outcome += '!';
            QVERIFY2(told <= 1, qPrintable(step + " told more than once"));
            QCOMPARE(link.isOpen(), result == CheckResult::Ready);
            seen.append(outcome);
        }
    }
    QCOMPARE(seen.join(' '), outcomes);
}

void TestPortCheck::readyCheckWritesNothing()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    SerialLink link;
    PortCheck check(link);
    QCOMPARE(check.run(CheckOrigin::Command, 7, pty.path()), CheckResult::Ready);
    QCOMPARE(link.portNumber(), 7);
    QTest::qWait(50);
    QCOMPARE(pty.takeWritten(), QByteArray());
}

QTEST_GUILESS_MAIN(TestPortCheck)
#include "tst_link_port_check.moc"
