// The serial link on real pseudo-terminals: line settings, byte-exact writes in order, reception,
// and each way a port can fail (missing, held by another program, refused, unplugged).
#include "link/frames.h"
#include "link/serial_link.h"
#include "support/pty_pair.h"
#include "support/test_env.h"

#include <QSerialPort>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

Q_DECLARE_METATYPE(LinkFailure)

class TestSerialLink : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void openConfiguresLineAndWritesNothing();
    void writesArriveAtOnceAndInOrder();
    void receivedBytesAreDelivered();
    void missingDevice_data();
    void missingDevice();
    void notASerialDevice_data();
    void notASerialDevice();
    void writeWhileClosedFails();
    void writeRefused_data();
    void writeRefused();
    void unplugGivesOneLostFailureAndCloses();
    void reopensWhenDeviceIsBack();
    void openLinkStaysOnItsDevice();
    void secondLinkOnSameDeviceIsBusy();
    void refusedDeviceNamesItsGroup();
    void permissionAdvice_data();
    void permissionAdvice();

private:
    TestStoreHome *m_home = nullptr;
    QTemporaryDir *m_dir = nullptr;
};

void TestSerialLink::initTestCase()
{
    m_home = new TestStoreHome;
    qRegisterMetaType<LinkFailure>();
}

void TestSerialLink::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
}

void TestSerialLink::cleanup()
{
    delete m_dir;
    m_dir = nullptr;
}

void TestSerialLink::openConfiguresLineAndWritesNothing()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    // Start from a line that differs in every respect, so that only the link can have set 9600 8N1.
    struct termios before {
    };
    QCOMPARE(::tcgetattr(pty.slaveFd(), &before), 0);
    ::cfsetispeed(&before, B1200);
    ::cfsetospeed(&before, B1200);
    before.c_cflag = (before.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    QCOMPARE(::tcsetattr(pty.slaveFd(), TCSANOW, &before), 0);

    SerialLink link;
    QSignalSpy opened(&link, &SerialLink::openChanged);
    QCOMPARE(link.open(1, pty.path()), LinkFailure::None); // RTS/DTR are refused by a pty, and that is no failure
    QVERIFY(link.isOpen());
    QCOMPARE(link.openDevicePath(), pty.path());
    QCOMPARE(opened.size(), 1);
    QCOMPARE(opened.at(0).at(0).toBool(), true);

    struct termios after {
    };
    QCOMPARE(::tcgetattr(pty.slaveFd(), &after), 0);
    QCOMPARE(::cfgetospeed(&after), speed_t(B9600));
    QCOMPARE(::cfgetispeed(&after), speed_t(B9600));
    QCOMPARE(after.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(after.c_cflag & PARENB, tcflag_t(0));
    QCOMPARE(after.c_cflag & CSTOPB, tcflag_t(0));
    QCOMPARE(after.c_cflag & CRTSCTS, tcflag_t(0));

    QTest::qWait(100);
    QCOMPARE(pty.takeWritten().toHex(' '), QByteArray());
}

void TestSerialLink::writesArriveAtOnceAndInOrder()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    SerialLink link;
    QCOMPARE(link.open(1, pty.path()), LinkFailure::None);

    // Each write is on the device when the call returns, before the event loop turns again: a
    // caller that goes on (or pauses) never leaves a field behind in the link.
    const frames::Fields fields = frames::logoFrame(frames::Command::FL1, "0123456789ABCDEF");
    for (const QByteArray &field : fields) {
        QVERIFY(link.write(field));
        QCOMPARE(pty.takeWritten().toHex(' '), field.toHex(' '));
    }

    // A whole burst goes out byte-exact and in order.
    QByteArray expected;
    for (int v = 0; v < 256; ++v) {
        const frames::Fields f = frames::frame(frames::Command::FO, char(v));
        for (const QByteArray &field : f)
            QVERIFY(link.write(field));
        expected += frames::joined(f);
    }
    QCOMPARE(pty.waitForWritten(expected.size()).toHex(), expected.toHex());
}

void TestSerialLink::receivedBytesAreDelivered()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    // Bytes sent before the open are delivered too (the line is not flushed on open).
    QVERIFY(pty.write("Pfwd="));
    SerialLink link;
    QByteArray got;
    connect(&link, &SerialLink::received, this, [&](const QByteArray &b) { got += b; });
    QCOMPARE(link.open(1, pty.path()), LinkFailure::None);

    const QByteArray rest("12W,Pref=0W,\x00\xff,$", 16);
    QVERIFY(pty.write(rest));
    QTRY_COMPARE(got.toHex(' '), (QByteArray("Pfwd=") + rest).toHex(' '));
}

void TestSerialLink::missingDevice_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("no such file") << QStringLiteral("ttyNONE");
    QTest::newRow("dangling symlink") << QStringLiteral("by-id-link");
    QTest::newRow("unmapped port") << QString();
}

void TestSerialLink::missingDevice()
{
    QFETCH(QString, path);
    if (!path.isEmpty())
        path = m_dir->filePath(path);
    if (path.endsWith(QLatin1String("by-id-link")))
        QVERIFY(QFile::link(m_dir->filePath(QStringLiteral("gone")), path));

    SerialLink link;
    QSignalSpy failed(&link, &SerialLink::failed);
    QCOMPARE(link.open(5, path), LinkFailure::Missing);
    QCOMPARE(link.lastFailure(), LinkFailure::Missing);
    QVERIFY(!link.isOpen());
    QVERIFY(link.openDevicePath().isEmpty());
    QVERIFY2(link.lastErrorText().contains(QLatin1String("COM 5")), qPrintable(link.lastErrorText()));
    if (!path.isEmpty())
        QVERIFY2(link.lastErrorText().contains(path), qPrintable(link.lastErrorText()));
    QCOMPARE(failed.size(), 0); // open() answers for itself; failed() is for a link in use
}

void TestSerialLink::notASerialDevice_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("folder");
    QTest::newRow("plain file") << QStringLiteral("notes.txt") << false;
    QTest::newRow("folder") << QStringLiteral("serial") << true;
    QTest::newRow("named pipe") << QStringLiteral("fifo") << false; // an open would block
}

void TestSerialLink::notASerialDevice()
{
    // A map key edited to something that exists but is no serial port: a failure, but not the
    // missing-port case, which would send the operator to choose another port.
    QFETCH(QString, name);
    QFETCH(bool, folder);
    const QString path = m_dir->filePath(name);
    if (folder) {
        QVERIFY(QDir().mkpath(path));
    } else if (name == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    SerialLink link;
    const LinkFailure failure = link.open(1, path);
    QVERIFY(failure != LinkFailure::None && failure != LinkFailure::Missing);
    QVERIFY(!link.isOpen());
    QVERIFY2(link.lastErrorText().contains(path), qPrintable(link.lastErrorText()));
}

void TestSerialLink::writeWhileClosedFails()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    SerialLink link;
    QSignalSpy failed(&link, &SerialLink::failed);
    QVERIFY(!link.write(frames::joined(frames::statusRequest())));
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed.at(0).at(0).value<LinkFailure>(), LinkFailure::NotOpen);
    QTest::qWait(50);
    QCOMPARE(pty.takeWritten(), QByteArray());
}

void TestSerialLink::writeRefused_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("staysOpen");
    // The port's descriptor is made to lead to /dev/full, a device that refuses every write: the
    // port reports a write error, and the link closes.
    QTest::newRow("the device refuses the bytes") << "device" << false;
    // The port, opened again behind the link's back for reading only, queues none of the bytes.
    QTest::newRow("the port queues none of them") << "port" << true;
}

void TestSerialLink::writeRefused()
{
    QFETCH(QString, how);
    QFETCH(bool, staysOpen);
    PtyPair pty;
    QVERIFY(pty.isValid());
    SerialLink link;
    QCOMPARE(link.open(1, pty.path()), LinkFailure::None);
    QVERIFY(link.write("ok"));
    QCOMPARE(pty.takeWritten(), QByteArray("ok"));

    auto *port = link.findChild<QSerialPort *>();
    QVERIFY(port);
    if (how == "device") {
        const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        QVERIFY(full >= 0);
        QVERIFY(::dup2(full, int(port->handle())) >= 0);
        ::close(full);
    } else {
        port->close();
        QVERIFY(port->open(QIODevice::ReadOnly));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("QIODevice::write.*ReadOnly device"));
    }

    QSignalSpy failed(&link, &SerialLink::failed);
    QSignalSpy opened(&link, &SerialLink::openChanged);
    QSignalSpy written(&link, &SerialLink::written);
    QVERIFY(!link.write(QByteArray::fromHex("00464d012002")));
    const QString text = QStringLiteral("Writing to %1 failed").arg(pty.path());
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed.at(0).at(0).value<LinkFailure>(), LinkFailure::WriteFailed);
    QCOMPARE(failed.at(0).at(1).toString(), text);
    QCOMPARE(link.lastFailure(), LinkFailure::WriteFailed);
    QCOMPARE(link.lastErrorText(), text);
    QCOMPARE(link.isOpen(), staysOpen);
    QCOMPARE(opened.size(), staysOpen ? 0 : 1); // a closed link says so once
    QVERIFY(written.isEmpty());

    // Nothing reached the line, and the failure is told once.
    QTest::qWait(50);
    QCOMPARE(pty.takeWritten().toHex(' '), QByteArray());
    QCOMPARE(failed.size(), 1);
}

void TestSerialLink::unplugGivesOneLostFailureAndCloses()
{
    PtyPair pty(m_dir->filePath(QStringLiteral("ttyUSB-adapter")));
    QVERIFY(pty.isValid());
    SerialLink link;
    QCOMPARE(link.open(1, pty.path()), LinkFailure::None);

    // Count what the port layer reports as well as what the link tells: a port left open after an
    // unplug reports its read error at every turn of the event loop, which a once-only failed()
    // alone would hide.
    auto *port = link.findChild<QSerialPort *>();
    QVERIFY(port);
    QSignalSpy portErrors(port, &QSerialPort::errorOccurred);
    QSignalSpy failed(&link, &SerialLink::failed);
    QSignalSpy openChanged(&link, &SerialLink::openChanged);

    pty.unplug();
    QTRY_COMPARE(failed.size(), 1);
    QTest::qWait(200);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed.at(0).at(0).value<LinkFailure>(), LinkFailure::Lost);
    QVERIFY(failed.at(0).at(1).toString().contains(pty.path()));
    QVERIFY(!link.isOpen());
    QCOMPARE(link.lastFailure(), LinkFailure::Lost);
    QCOMPARE(openChanged.size(), 1);
    QCOMPARE(openChanged.at(0).at(0).toBool(), false);
    int fatal = 0;
    for (const QList<QVariant> &e : portErrors) {
        const auto error = e.at(0).value<QSerialPort::SerialPortError>();
        fatal += (error == QSerialPort::ReadError || error == QSerialPort::ResourceError) ? 1 : 0;
    }
    QCOMPARE(fatal, 1);

    // With the adapter's stable name gone the port is missing, not broken.
    QCOMPARE(link.open(1, pty.path()), LinkFailure::Missing);
}

void TestSerialLink::reopensWhenDeviceIsBack()
{
    PtyPair pty(m_dir->filePath(QStringLiteral("serial-by-id")));
    QVERIFY(pty.isValid());
    SerialLink link;
    QCOMPARE(link.open(1, pty.path()), LinkFailure::None);

    pty.unplug();
    QTRY_VERIFY(!link.isOpen());
    QVERIFY(pty.replug());
    QCOMPARE(link.open(1, pty.path()), LinkFailure::None);
    QCOMPARE(link.openDevicePath(), pty.path());

    QVERIFY(link.write(frames::joined(frames::statusRequest())));
    QCOMPARE(pty.waitForWritten(6).toHex(' '), QByteArray("00 46 4d 01 20 02"));
    QByteArray got;
    connect(&link, &SerialLink::received, this, [&](const QByteArray &b) { got += b; });
    QVERIFY(pty.write("$"));
    QTRY_COMPARE(got, QByteArray("$"));
}

void TestSerialLink::openLinkStaysOnItsDevice()
{
    PtyPair first, second;
    QVERIFY(first.isValid() && second.isValid());
    SerialLink link;
    QCOMPARE(link.open(1, first.path()), LinkFailure::None);

    QCOMPARE(link.open(2, second.path()), LinkFailure::None); // already open: stays
    QCOMPARE(link.openDevicePath(), first.path());
    QCOMPARE(link.portNumber(), 1);
    QVERIFY(link.write("A"));
    QCOMPARE(first.waitForWritten(1), QByteArray("A"));

    link.close();
    QVERIFY(!link.isOpen());
    QCOMPARE(link.open(2, second.path()), LinkFailure::None);
    QCOMPARE(link.openDevicePath(), second.path());
    QVERIFY(link.write("B"));
    QCOMPARE(second.waitForWritten(1), QByteArray("B"));
    QCOMPARE(first.takeWritten(), QByteArray());
}

void TestSerialLink::secondLinkOnSameDeviceIsBusy()
{
    PtyPair pty;
    QVERIFY(pty.isValid());
    SerialLink holder;
    SerialLink other;
    QCOMPARE(holder.open(1, pty.path()), LinkFailure::None);

    QCOMPARE(other.open(3, pty.path()), LinkFailure::Busy);
    QVERIFY(!other.isOpen());
    const QString text = other.lastErrorText();
    QVERIFY2(text.contains(QLatin1String("in use by another program")), qPrintable(text));
    QVERIFY2(text.contains(pty.path()), qPrintable(text));
    QVERIFY2(!text.contains(QLatin1String("usermod")), qPrintable(text));

    holder.close();
    QCOMPARE(other.open(3, pty.path()), LinkFailure::None);
}

void TestSerialLink::refusedDeviceNamesItsGroup()
{
    if (::geteuid() == 0)
        QSKIP("root opens every device; this check needs an unprivileged user");
    // A pty of our own with no access bits stands for a device of a group we are not allowed into.
    PtyPair pty;
    QVERIFY(pty.isValid());
    QCOMPARE(::chmod(QFile::encodeName(pty.slavePath()).constData(), 0), 0);
    SerialLink link;
    QCOMPARE(link.open(1, pty.path()), LinkFailure::Permission);
    const QString text = link.lastErrorText();
    QVERIFY2(text.contains(pty.path()), qPrintable(text));
    struct stat info {
    };
    QCOMPARE(::stat(QFile::encodeName(pty.slavePath()).constData(), &info), 0);
    const struct group *owner = ::getgrgid(info.st_gid);
    QVERIFY(owner);
    QVERIFY2(text.contains(QString::fromLocal8Bit(owner->gr_name)), qPrintable(text));
}

void TestSerialLink::permissionAdvice_data()
{
    QTest::addColumn<QString>("group"); // the device's group; empty: our own effective group
    QTest::addColumn<bool>("dropGroups"); // compute the text as a user whose session lacks the group
    QTest::addColumn<QStringList>("wanted");
    QTest::addColumn<QStringList>("unwanted");

    QTest::newRow("not a member") << QStringLiteral(
        "dialout") << false << QStringList { "dialout", "sudo usermod -aG dialout $USER", "log in again" }
                                  << QStringList {};
    QTest::newRow("member, device mode too strict")
        << QString() << false << QStringList { "you are in" } << QStringList { "usermod", "log in again" };
    QTest::newRow("added but not logged in again")
        << QString() << true << QStringList { "have been added", "log in again" }
        << QStringList { "usermod" };
}

void TestSerialLink::permissionAdvice()
{
    QFETCH(QString, group);
    QFETCH(bool, dropGroups);
    QFETCH(QStringList, wanted);
    QFETCH(QStringList, unwanted);

    const QString device = m_dir->filePath(QStringLiteral("ttyS7"));
    QFile file(device);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const QByteArray native = QFile::encodeName(device);

    gid_t gid = ::getegid();
    if (!group.isEmpty()) {
        const struct group *g = ::getgrnam(group.toLocal8Bit().constData());
        if (!g)
            QSKIP("this machine has no such group");
        gid = g->gr_gid;
        const int n = ::getgroups(0, nullptr);
        QList<gid_t> mine(n > 0 ? n : 0);
        ::getgroups(n, mine.data());
        if (mine.contains(gid) || ::getegid() == gid)
            QSKIP("this user is in the group already");
        if (::chown(native.constData(), uid_t(-1), gid) != 0)
            QSKIP("changing a file's group needs root here");
    }

    QString text;
    if (!dropGroups) {
        text = permissionAdviceText(device);
    } else {
        // Our primary group from the user database owns the device, but the session's groups lack
        // it: what a user sees right after `usermod -aG`, before logging in again. Changing the
        // process's groups needs root, and happens in a child so this process keeps its own.
        if (::geteuid() != 0)
            QSKIP("changing the session's groups needs root");
        int fds[2];
        QCOMPARE(::pipe(fds), 0);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            ::close(fds[0]);
            const gid_t other = 65534;
            const bool ok = ::setgroups(0, nullptr) == 0 && ::setegid(other) == 0;
            const QByteArray out = ok ? permissionAdviceText(device).toUtf8() : QByteArray("setup failed");
            (void)!::write(fds[1], out.constData(), size_t(out.size()));
            ::_exit(0);
        }
        ::close(fds[1]);
        QByteArray out;
        char buf[512];
        ssize_t n;
        while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
            out.append(buf, int(n));
        ::close(fds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        text = QString::fromUtf8(out);
    }

    QVERIFY2(text.contains(device), qPrintable(text));
    const struct group *owner = ::getgrgid(gid);
    QVERIFY(owner);
    QVERIFY2(text.contains(QString::fromLocal8Bit(owner->gr_name)), qPrintable(text));
    for (const QString &w : wanted)
        QVERIFY2(text.contains(w), qPrintable(QStringLiteral("%1 lacks \"%2\"").arg(text, w)));
    for (const QString &u : unwanted)
        QVERIFY2(!text.contains(u), qPrintable(QStringLiteral("%1 has \"%2\"").arg(text, u)));
}

QTEST_GUILESS_MAIN(TestSerialLink)
#include "tst_link_serial.moc"
