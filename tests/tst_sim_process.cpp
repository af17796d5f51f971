// The simulator as the panel meets it: a serial device opened with QSerialPort, status reports,
// stored settings, the log of frames and their timing, the line check, and the run-time behaviours.
#include "support/clocks.h"
#include "support/sim_process.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QSerialPort>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray kStatusRequest = QByteArray::fromHex("00464d012002");
const QByteArray kStoreSettings = QByteArray::fromHex("004657013002");

QByteArray settingFrame(const char *letters, int value)
{
    return QByteArray(2, '\0') + letters + '\x01' + char(value) + '\x02';
}

// The panel's side of the line: a plain QSerialPort that collects what arrives.
class PanelPort
{
public:
    explicit PanelPort(const QString &path)
    {
        m_port.setPortName(path);
        QObject::connect(&m_port, &QSerialPort::readyRead, [this] { m_received += m_port.readAll(); });
        // A hang-up makes the port report errors without end until it is closed.
        QObject::connect(&m_port, &QSerialPort::errorOccurred, [this](QSerialPort::SerialPortError e) {
            if (e != QSerialPort::NoError && e != QSerialPort::TimeoutError) {
                m_errors << e;
                if (m_port.isOpen())
                    m_port.close();
            }
        });
    }

    bool open(qint32 baud = 9600, QSerialPort::StopBits stopBits = QSerialPort::OneStop)
    {
        m_port.setBaudRate(baud);
        m_port.setDataBits(QSerialPort::Data8);
        m_port.setParity(QSerialPort::NoParity);
        m_port.setStopBits(stopBits);
        m_port.setFlowControl(QSerialPort::NoFlowControl);
        return m_port.open(QIODevice::ReadWrite);
    }

    void write(const QByteArray &bytes)
    {
        m_port.write(bytes);
        m_port.flush();
    }

    // Waits for the next "$" and returns everything up to and including it (empty on timeout).
    QByteArray nextReport(int timeoutMs = 5000)
    {
        if (!waitUntil([this] { return m_received.contains('$'); }, timeoutMs))
            return {};
        const qsizetype end = m_received.indexOf('$') + 1;
        const QByteArray report = m_received.left(end);
        m_received.remove(0, end);
        return report;
    }

    QSerialPort &port() { return m_port; }
    QByteArray &received() { return m_received; }
    const QList<QSerialPort::SerialPortError> &errors() const { return m_errors; }

private:
    QSerialPort m_port;
    QByteArray m_received;
    QList<QSerialPort::SerialPortError> m_errors;
};

QString field(const QByteArray &report, const QString &key)
{
    const QString text = QString::fromLatin1(report);
    const qsizetype at = text.indexOf(key + '=');
    if (at < 0)
        return {};
    const qsizetype start = at + key.size() + 1;
    return text.mid(start, text.indexOf(u',', start) - start);
}

} // namespace

class TestSimProcess : public QObject
{
    Q_OBJECT
private slots:
    void statusRequestGetsReport();
    void storedOutputPowerFollows();
    void logHoldsFramesAndTheirTiming();
    void lineSettingsAreChecked_data();
    void lineSettingsAreChecked();
    void panelOpensClosesAndReopens();
    void staleExclusiveFlagIsCleared();
    void unplugAndReplug();
    void silentAndSend();
    void burstsSplitTheAnswer();
    void fixedReportIsSentAsGiven();
    void noiseComesBeforeTheReport();
    void malformedFrameIsReported();
    void linkReplacesOnlyItsOwn_data();
    void linkReplacesOnlyItsOwn();
    void floodKeepsSendingToItsEnd_data();
    void floodKeepsSendingToItsEnd();
};

void TestSimProcess::statusRequestGetsReport()
{
    SimProcess sim;
    QVERIFY2(sim.start(), sim.stderrText().constData());
    QVERIFY(sim.devicePath().startsWith("/dev/pts/"));
    QCOMPARE(QFileInfo(sim.linkPath()).symLinkTarget(), sim.devicePath());

    PanelPort panel(sim.linkPath());
    QVERIFY2(panel.open(), qPrintable(panel.port().errorString()));
    panel.write(kStatusRequest);
    const QByteArray report = panel.nextReport();
    QVERIFY2(report.startsWith("Pfwd="), report.constData());
    QVERIFY(report.endsWith("$"));
    QVERIFY(report.contains(",Audio="));
    QCOMPARE(field(report, "AlarmCode").size(), 2);
}

void TestSimProcess::storedOutputPowerFollows()
{
    SimProcess sim;
    QVERIFY2(sim.start(), sim.stderrText().constData());
    PanelPort panel(sim.linkPath());
    QVERIFY(panel.open());

    // Before the store command the setting is only pending.
    panel.write(settingFrame("FO", 4 + 50));
    panel.write(kStatusRequest);
    const QByteArray before = panel.nextReport();
    QVERIFY(!before.isEmpty());
    QVERIFY(field(before, "Pfwd") != "150.0W");
    QCOMPARE(sim.state()["pending"].toObject()["FO"].toInt(), 54);

    panel.write(kStoreSettings);
    panel.write(kStatusRequest);
    const QByteArray after = panel.nextReport();
    QCOMPARE(field(after, "Pfwd"), QString("150.0W"));
    QCOMPARE(after.at(after.size() - 2), char('0' + 50)); // the drive level follows as well

    const QJsonObject state = sim.state();
    QCOMPARE(state["stored"].toObject()["FO"].toInt(), 54);
    QCOMPARE(state["storeCount"].toInt(), 1);
    QCOMPARE(sim.stateFile()["stored"].toObject()["FO"].toInt(), 54);
}

void TestSimProcess::logHoldsFramesAndTheirTiming()
{
    SimProcess sim;
    QVERIFY2(sim.start(), sim.stderrText().constData());
    PanelPort panel(sim.linkPath());
    QVERIFY(panel.open());

    // A logo line with a pause between its 01 and the first piece, as the logo download does. The
    // pause starts once the simulator has read the head, so that it lies between two of its reads
    // however late the simulator gets to run; this process reads the clock it stamps them with.
    const double headWritten = monotonicMs();
    panel.write(QByteArray::fromHex("0000464c3101"));
    QVERIFY(sim.waitForRecords("chunk", 1));
    QTest::qWait(300);
    for (const char *piece : { "Radi", "o On", "e 10", "1.5 " })
        panel.write(piece);
    panel.write("\x02");
    panel.write(QByteArray::fromHex("0000464c53013002"));
    QVERIFY(sim.waitForRecords("frame", 2));
    const double framesSeen = monotonicMs();

    const QList<QJsonObject> frames = sim.frames();
    QCOMPARE(frames[0]["command"].toString(), QString("FL1"));
    QCOMPARE(frames[0]["text"].toString(), QString("Radio One 101.5 "));
    QCOMPARE(frames[0]["hex"].toString(),
        QString::fromLatin1((QByteArray::fromHex("0000464c3101") + "Radio One 101.5 \x02").toHex()));
    const QJsonArray pieces = frames[0]["pieces"].toArray();
    QVERIFY(pieces.size() >= 2);
    QVERIFY(pieces[0].toObject()["hex"].toString().endsWith("01"));
    const double gap = pieces[1].toObject()["t"].toDouble() - pieces[0].toObject()["t"].toDouble();
    // At least the pause, and no more than the time from the head's write to both frames' being read.
    QVERIFY2(gap >= 250 && gap <= framesSeen - headWritten, qPrintable(QString::number(gap)));
    QCOMPARE(frames[1]["command"].toString(), QString("FLS"));
    QVERIFY(frames[1]["t"].toDouble() >= frames[0]["t"].toDouble());
    QVERIFY(!sim.logRecords("chunk").isEmpty());

    const QJsonObject logo = sim.state()["logo"].toObject();
    QCOMPARE(logo["line1"].toObject()["text"].toString(), QString("Radio One 101.5 "));
}

void TestSimProcess::lineSettingsAreChecked_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<bool>("right");
    QTest::addColumn<QString>("text");

    // The pseudo-terminal driver itself forces 8 data bits and no parity, so only the speed and
    // the stop bits can be seen going wrong here.
    QTest::newRow("9600 8N1") << 9600 << int(QSerialPort::OneStop) << true << "9600 8N1";
    QTest::newRow("19200 8N1") << 19200 << int(QSerialPort::OneStop) << false << "19200 8N1";
    QTest::newRow("9600 8N2") << 9600 << int(QSerialPort::TwoStop) << false << "9600 8N2";
}

void TestSimProcess::lineSettingsAreChecked()
{
    QFETCH(int, baud);
    QFETCH(int, stopBits);
    QFETCH(bool, right);
    QFETCH(QString, text);

    SimProcess sim;
    QVERIFY2(sim.start(), sim.stderrText().constData());
    PanelPort panel(sim.linkPath());
    QVERIFY(panel.open(baud, QSerialPort::StopBits(stopBits)));
    panel.write(kStatusRequest);
    QVERIFY(sim.waitForRecords("frame", 1));

    QCOMPARE(sim.state()["line"].toObject()["text"].toString(), text);
    const QList<QJsonObject> lines = sim.logRecords("line");
    QVERIFY(!lines.isEmpty());
    QCOMPARE(lines.last()["text"].toString(), text);
    QCOMPARE(lines.last()["ok"].toBool(), right);
    const QList<QJsonObject> wrong = sim.logRecords("wrong-line");
    QCOMPARE(wrong.size(), right ? 0 : 1);
    if (!right) {
        QCOMPARE(wrong[0]["text"].toString(), text);
        QVERIFY(sim.stderrText().contains("9600 8N1 expected"));
    }
}

void TestSimProcess::panelOpensClosesAndReopens()
{
    SimProcess sim;
    QVERIFY2(sim.start(), sim.stderrText().constData());
    // The simulator keeps the slave open itself; the panel must still get the device every time.
    for (int round = 0; round < 3; ++round) {
        PanelPort panel(sim.linkPath());
        QVERIFY2(panel.open(), qPrintable(panel.port().errorString()));
        panel.write(kStatusRequest);
        QVERIFY(!panel.nextReport().isEmpty());
        panel.port().close();
    }
    // By its device path as well as by the link.
    PanelPort direct(sim.devicePath());
    QVERIFY2(direct.open(), qPrintable(direct.port().errorString()));
}

void TestSimProcess::staleExclusiveFlagIsCleared()
{
    SimProcess sim;
    QVERIFY2(sim.start(), sim.stderrText().constData());
    const QByteArray device = QFile::encodeName(sim.devicePath());

    // A panel that died with the device open: the exclusive-use flag is set and never cleared.
    const int fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    QCOMPARE(ioctl(fd, TIOCEXCL), 0);
    ::close(fd);

    // (Running as root the open below succeeds even while the flag is set; TIOCGEXCL tells.)
    const bool cleared = waitUntil(
        [&] {
            const int probe = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (probe < 0)
                return false;
            int exclusive = 1;
            const bool ok = ioctl(probe, TIOCGEXCL, &exclusive) == 0 && exclusive == 0;
            ::close(probe);
            return ok;
        },
        5000);
    QVERIFY(cleared);
    QVERIFY(sim.waitForRecords("exclusive-cleared", 1));
    PanelPort panel(sim.linkPath());
    QVERIFY2(panel.open(), qPrintable(panel.port().errorString()));
}

void TestSimProcess::unplugAndReplug()
{
    SimProcess sim;
    QVERIFY2(sim.start(), sim.stderrText().constData());
    const QString first = sim.devicePath();
    PanelPort panel(sim.linkPath());
    QVERIFY(panel.open());

    QVERIFY(sim.unplug());
    QVERIFY(!QFileInfo::exists(sim.linkPath()));
    QVERIFY(!QFileInfo(sim.linkPath()).isSymLink());
    QVERIFY(waitUntil([&] { return !panel.errors().isEmpty(); }, 5000)); // the panel sees the hang-up
    QCOMPARE(sim.state()["plugged"].toBool(), false);

    QVERIFY(sim.replug());
    QVERIFY(sim.devicePath() != first);
    QCOMPARE(QFileInfo(sim.linkPath()).symLinkTarget(), sim.devicePath());
    QCOMPARE(sim.logRecords("device").size(), 2);

    PanelPort again(sim.linkPath());
    QVERIFY2(again.open(), qPrintable(again.port().errorString()));
    again.write(kStatusRequest);
    QVERIFY(again.nextReport().startsWith("Pfwd="));
}

void TestSimProcess::silentAndSend()
{
    SimProcess sim;
    QVERIFY2(sim.start({ "--silent" }), sim.stderrText().constData());
    PanelPort panel(sim.linkPath());
    QVERIFY(panel.open());

    panel.write(kStatusRequest);
    QVERIFY(sim.waitForRecords("frame", 1)); // the request arrived...
    QTest::qWait(200);
    QVERIFY(panel.received().isEmpty()); // ...and went unanswered

    bool ok = false;
    sim.command("send Pfwd=1,2$", &ok);
    QVERIFY(ok);
    QCOMPARE(panel.nextReport(), QByteArray("Pfwd=1,2$"));

    sim.command("silent off", &ok);
    QVERIFY(ok);
    panel.write(kStatusRequest);
    QVERIFY(panel.nextReport().startsWith("Pfwd="));

    sim.command("silent maybe", &ok);
    QVERIFY(!ok);
    sim.command("jump", &ok);
    QVERIFY(!ok);
}

void TestSimProcess::burstsSplitTheAnswer()
{
    SimProcess sim;
    QVERIFY2(sim.start({ "--burst", "16", "--burst-gap", "5" }), sim.stderrText().constData());
    PanelPort panel(sim.linkPath());
    QVERIFY(panel.open());
    panel.write(kStatusRequest);
    const QByteArray report = panel.nextReport();
    QVERIFY(report.startsWith("Pfwd="));

    QVERIFY(sim.waitForRecords("sent", int((report.size() + 15) / 16)));
    const QList<QJsonObject> sent = sim.logRecords("sent");
    QByteArray joined;
    for (const QJsonObject &s : sent) {
        const QByteArray bytes = QByteArray::fromHex(s["hex"].toString().toLatin1());
        QVERIFY(bytes.size() <= 16);
        joined += bytes;
    }
    QCOMPARE(sent.size(), int((report.size() + 15) / 16));
    QCOMPARE(joined, report);
    // The bursts are apart in time (at least one gap between the first and the last).
    QVERIFY(sent.last()["t"].toDouble() - sent.first()["t"].toDouble() >= 4.0);
}

void TestSimProcess::fixedReportIsSentAsGiven()
{
    SimProcess sim;
    QVERIFY2(
        sim.start({ "--report", "Pfwd=12.5W,Pref=0.3W,AlarmCode=05,Audio=A" }), sim.stderrText().constData());
    PanelPort panel(sim.linkPath());
    QVERIFY(panel.open());
    panel.write(kStatusRequest);
    QCOMPARE(panel.nextReport(), QByteArray("Pfwd=12.5W,Pref=0.3W,AlarmCode=05,Audio=A$"));

    bool ok = false;
    sim.command("report Tamp=99C,$", &ok); // a "$" already there is not doubled
    QVERIFY(ok);
    panel.write(kStatusRequest);
    QCOMPARE(panel.nextReport(), QByteArray("Tamp=99C,$"));
    QTest::qWait(50);
    QVERIFY(panel.received().isEmpty());

    sim.command("report live", &ok);
    panel.write(kStatusRequest);
    QVERIFY(panel.nextReport().startsWith("Pfwd="));
}

void TestSimProcess::noiseComesBeforeTheReport()
{
    SimProcess sim;
    QVERIFY2(sim.start({ "--noise", "1", "--seed", "11" }), sim.stderrText().constData());
    PanelPort panel(sim.linkPath());
    QVERIFY(panel.open());
    panel.write(kStatusRequest);
    const QByteArray answer = panel.nextReport();
    const qsizetype at = answer.indexOf("Pfwd=");
    QVERIFY2(at >= 1 && at <= 8, answer.toHex().constData());

    const QList<QJsonObject> replies = sim.logRecords("reply");
    QCOMPARE(replies.size(), 2);
    QCOMPARE(replies[0]["kind"].toString(), QString("noise"));
    QCOMPARE(QByteArray::fromHex(replies[0]["hex"].toString().toLatin1()), answer.left(at));
    QCOMPARE(replies[1]["kind"].toString(), QString("report"));
}

void TestSimProcess::malformedFrameIsReported()
{
    SimProcess sim;
    QVERIFY2(sim.start(), sim.stderrText().constData());
    PanelPort panel(sim.linkPath());
    QVERIFY(panel.open());
    // FW must have one 00 before it, FO two: here FO comes with one.
    panel.write(QByteArray::fromHex("00464f013602") + kStatusRequest);
    QVERIFY(panel.nextReport().startsWith("Pfwd="));

    const QList<QJsonObject> bad = sim.logRecords("malformed");
    QVERIFY(!bad.isEmpty());
    QVERIFY(bad[0]["reason"].toString().contains("FO with 1 lead"));
    QCOMPARE(bad[0]["hex"].toString(), QString("00464f01"));
    QVERIFY(sim.stderrText().contains("malformed frame"));
    QCOMPARE(
        sim.state()["stored"].toObject()["FO"].toInt(), sim.stateFile()["stored"].toObject()["FO"].toInt());
    QVERIFY(sim.state()["pending"].toObject().isEmpty()); // the broken FO was not taken
}

void TestSimProcess::linkReplacesOnlyItsOwn_data()
{
    QTest::addColumn<QString>("there"); // what is at the link's path before the start
    QTest::addColumn<bool>("replaced");
    QTest::newRow("nothing") << "nothing" << true;
    QTest::newRow("a link a killed simulator left") << "/dev/pts/4093" << true;
    QTest::newRow("a regular file") << "file" << false;
    QTest::newRow("a folder") << "folder" << false;
    QTest::newRow("a named pipe") << "fifo" << false;
    QTest::newRow("a link to a regular file") << "link to file" << false;
    QTest::newRow("a link to a device") << "/dev/null" << false;
    QTest::newRow("a link into /dev/pts by a relative path") << "../../dev/pts/4093" << false;
}

// --link makes its link under a random new name and renames it over the path only when the path
// is free or a link into /dev/pts: anything else there (as root, a device node such as /dev/ttyS0)
// is left as it was and the simulator does not start.
void TestSimProcess::linkReplacesOnlyItsOwn()
{
    QFETCH(QString, there);
    QFETCH(bool, replaced);
    SimProcess sim;
    const QString path = sim.linkPath();
    const QByteArray native = QFile::encodeName(path);
    const QString folder = QFileInfo(path).absolutePath();
    QVERIFY(QDir().mkpath(folder));
    if (there == QLatin1String("file")) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("keep me");
    } else if (there == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(path));
    } else if (there == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(native.constData(), 0600), 0);
    } else if (there == QLatin1String("link to file")) {
        QFile f(folder + QStringLiteral("/target"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("keep me");
        QCOMPARE(::symlink("target", native.constData()), 0);
    } else if (there != QLatin1String("nothing")) {
        QCOMPARE(::symlink(QFile::encodeName(there).constData(), native.constData()), 0);
    }
    struct stat before {
    };
    ::lstat(native.constData(), &before);
    const QStringList namesBefore
        = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);

    const bool started = sim.start();
    QCOMPARE(started, replaced);
    if (replaced) {
        QCOMPARE(QFileInfo(path).symLinkTarget(), sim.devicePath());
        // Only the link and the simulator's own files are there: no temporary name stayed.
        QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
        names.removeAll(QFileInfo(sim.logPath()).fileName());
        names.removeAll(QFileInfo(sim.stateFilePath()).fileName());
        QCOMPARE(names, QStringList { QFileInfo(path).fileName() });
        QVERIFY(sim.replug()); // and again at a replug, over its own link
        QCOMPARE(QFileInfo(path).symLinkTarget(), sim.devicePath());
        return;
    }
    QVERIFY(waitUntil([&] { return !sim.isRunning(); }, 10000));
    QVERIFY2(sim.stderrText().contains("not a link into /dev/pts"), sim.stderrText().constData());
    struct stat after {
    };
    QCOMPARE(::lstat(native.constData(), &after), 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_mode, before.st_mode);
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    names.removeAll(QFileInfo(sim.logPath()).fileName());
    QCOMPARE(names, namesBefore);
    if (there.contains(QLatin1String("file"))) {
        QFile f(there == QLatin1String("file") ? path : folder + QStringLiteral("/target"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("keep me"));
    }
}

void TestSimProcess::floodKeepsSendingToItsEnd_data()
{
    QTest::addColumn<QString>("kind");
    for (const char *kind : { "reports", "noise", "mixed" })
        QTest::newRow(kind) << kind;
}

// A flood sends for its whole time while the panel reads everything and asks for a report every
// 20 ms, whose answers go out between the flood's pieces. The bytes sent are sampled in the
// flood's last 40 % (at 60 % and 90 % of its 6 s): they must still grow there. The rate against
// the flood's first half is printed, not bounded: a loaded machine slows both.
void TestSimProcess::floodKeepsSendingToItsEnd()
{
    QFETCH(QString, kind);
    SimProcess sim;
    QVERIFY2(sim.start(), sim.stderrText().constData());
    PanelPort panel(sim.linkPath());
    QVERIFY2(panel.open(), qPrintable(panel.port().errorString()));
    qint64 received = 0;
    QTimer requests;
    QObject::connect(&requests, &QTimer::timeout, [&] {
        received += panel.received().size();
        panel.received().clear();
        panel.write(kStatusRequest);
    });
    requests.start(20);

    constexpr int kSeconds = 6;
    bool ok = false;
    sim.command(QStringLiteral("flood %1 %2").arg(kSeconds).arg(kind), &ok);
    QVERIFY(ok);
    QElapsedTimer clock;
    clock.start();
    // The flood's bytes and the panel's at a moment of the flood.
    auto sample = [&](int atMs, qint64 &sent, qint64 &read) {
        waitUntil([&] { return clock.elapsed() >= atMs; }, atMs + 1000);
        const QJsonObject flood = sim.state()["flood"].toObject();
        QVERIFY2(
            flood["active"].toBool(), qPrintable(QStringLiteral("the flood ended before %1 ms").arg(atMs)));
        sent = qint64(flood["bytes"].toDouble());
        read = received + panel.received().size();
    };
    qint64 sentHalf = 0, readHalf = 0, sentLate = 0, readLate = 0, sentEnd = 0, readEnd = 0;
    sample(kSeconds * 500, sentHalf, readHalf);
    sample(kSeconds * 600, sentLate, readLate);
    sample(kSeconds * 900, sentEnd, readEnd);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(sentEnd > sentLate,
        qPrintable(QStringLiteral("the flood stopped sending at %1 bytes, %2 s before its end")
                       .arg(sentLate)
                       .arg(kSeconds * 0.4)));
    QVERIFY(readEnd > readLate);
    const double halfRate = double(sentHalf) / (kSeconds * 0.5);
    const double lateRate = double(sentEnd - sentLate) / (kSeconds * 0.3);
    qInfo("flood of %s: %.1f MB/s in its first half, %.1f MB/s from 60 %% to 90 %% of its time",
        qPrintable(kind), halfRate / 1e6, lateRate / 1e6);

    // Then it ends by itself, and the line answers requests as before.
    QVERIFY(waitUntil([&] { return !sim.state()["flood"].toObject()["active"].toBool(); }, kSeconds * 1000));
    requests.stop();
    waitUntil([&] { return false; }, 200);
    panel.received().clear();
    panel.write(kStatusRequest);
    QVERIFY(panel.nextReport().startsWith("Pfwd="));
}

QTEST_GUILESS_MAIN(TestSimProcess)
#include "tst_sim_process.moc"
