// The simulated board: settings and logo lines held back until their store command, readings that
// follow the stored output power and time, the alarm code against the stored levels, and the report.
#include "sim/transmitter.h"

#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

using sim::Command;
using sim::Setting;
using sim::Transmitter;

namespace {

QByteArray byte(int v)
{
    return QByteArray(1, char(v));
}

// The value of `key` in a report, up to the next ",".
QString field(const QByteArray &report, const QString &key)
{
    const QString text = QString::fromLatin1(report);
    const qsizetype at = text.indexOf(key + '=');
    if (at < 0)
        return {};
    const qsizetype start = at + key.size() + 1;
    return text.mid(start, text.indexOf(u',', start) - start);
}

void download(Transmitter &tx, const QList<QPair<Command, int>> &settings)
{
    for (const auto &s : settings)
        tx.apply(s.first, byte(s.second));
    tx.apply(Command::FW, "0");
}

} // namespace

class TestSimTransmitter : public QObject
{
    Q_OBJECT
private slots:
    void settingsWaitForStoreCommand();
    void logoLinesWaitForStoreCommand();
    void reportFormat();
    void driveLevelCharacter_data();
    void driveLevelCharacter();
    void alarmCode_data();
    void alarmCode();
    void temperaturesDriftSlowly();
    void uptimeCounts();
};

void TestSimTransmitter::settingsWaitForStoreCommand()
{
    Transmitter tx;
    const QString before = field(tx.report(), "Pfwd");
    tx.apply(Command::FO, byte(4 + 50));
    tx.apply(Command::FAC, byte(0x08));
    QCOMPARE(field(tx.report(), "Pfwd"), before);
    QCOMPARE(tx.pending(Setting::Output), std::optional<quint8>(54));
    QVERIFY(tx.stored(Setting::Output) != 54);

    tx.apply(Command::FW, "0");
    QCOMPARE(tx.stored(Setting::Output), quint8(54));
    QCOMPARE(tx.stored(Setting::CurrentAlarm), quint8(0x08));
    QVERIFY(!tx.pending(Setting::Output));
    QCOMPARE(tx.outputPercent(), 50);
    QCOMPARE(field(tx.report(), "Pfwd"), QString("150.0W"));
    QCOMPARE(tx.storeCount(), 1);

    const QJsonObject state = tx.stateJson();
    QCOMPARE(state["stored"].toObject()["FO"].toInt(), 54);
    QCOMPARE(state["stored"].toObject()["FAC"].toInt(), 8);
    QVERIFY(state["pending"].toObject().isEmpty());
}

void TestSimTransmitter::logoLinesWaitForStoreCommand()
{
    Transmitter tx;
    const QByteArray oldLine2 = tx.storedLogo(2);
    tx.apply(Command::FL1, "Radio One 101.5 ");
    QVERIFY(tx.storedLogo(1) != "Radio One 101.5 ");
    QCOMPARE(tx.pendingLogo(1), std::optional<QByteArray>("Radio One 101.5 "));

    tx.apply(Command::FLS, "0");
    QCOMPARE(tx.storedLogo(1), QByteArray("Radio One 101.5 "));
    QCOMPARE(tx.storedLogo(2), oldLine2); // no FL2 came: line 2 keeps what it had
    QVERIFY(!tx.pendingLogo(1));
    QCOMPARE(tx.logoStoreCount(), 1);
    const QJsonObject logo = tx.stateJson()["logo"].toObject();
    QCOMPARE(logo["line1"].toObject()["text"].toString(), QString("Radio One 101.5 "));
}

void TestSimTransmitter::reportFormat()
{
    Transmitter tx;
    const QByteArray report = tx.report();
    const QRegularExpression shape(
        "^Pfwd=\\d+\\.\\dW,Pref=\\d+\\.\\dW,Tpsu=\\d+C,Tamp=\\d+C,"
        "Iamp1=\\d+\\.\\dA,Iamp2=\\d+\\.\\dA,Iamp3=\\d+\\.\\dA,Iamp4=\\d+\\.\\dA,"
        "Uamp1=\\d+\\.\\dV,Uamp2=\\d+\\.\\dV,Uamp3=\\d+\\.\\dV,Uamp4=\\d+\\.\\dV,"
        "Uptime=\\d{4}D:\\d\\dH:\\d\\dM,Firmware=[^,$]+,PowerLimit=\\d+W,AlarmCode=\\d\\d,Audio=.\\$$");
    QVERIFY2(shape.match(QString::fromLatin1(report)).hasMatch(), report.constData());
    QCOMPARE(report.count('$'), 1);
    QCOMPARE(field(report, "Uptime"), QString("0000D:00H:00M"));
    QCOMPARE(field(report, "PowerLimit"), QString("300W"));
}

void TestSimTransmitter::driveLevelCharacter_data()
{
    QTest::addColumn<int>("outputByte");
    QTest::addColumn<int>("audioCode");

    QTest::newRow("OFF") << 0x04 << 48;
    QTest::newRow("17%") << 0x04 + 17 << int('A');
    QTest::newRow("100%") << 0x68 << 148;
    QTest::newRow("overdriven") << 0x80 << 148;
}

void TestSimTransmitter::driveLevelCharacter()
{
    QFETCH(int, outputByte);
    QFETCH(int, audioCode);
    Transmitter tx;
    download(tx, { { Command::FO, outputByte } });
    const QByteArray report = tx.report();
    QVERIFY(report.endsWith('$'));
    QCOMPARE(int(quint8(report.at(report.size() - 2))), audioCode);
    QVERIFY(report.mid(report.size() - 8, 6) == "Audio=");
}

void TestSimTransmitter::alarmCode_data()
{
    QTest::addColumn<int>("output"); // FO byte
    QTest::addColumn<int>("swrLevel"); // FAS byte: 04 ">10W" ... 0D ">99W"
    QTest::addColumn<int>("tempLevel"); // FAT byte: 04 ">40degC" ... 0A ">80degC", 0D off
    QTest::addColumn<int>("currentLevel"); // FAC byte: amperes + 2
    QTest::addColumn<double>("ampTemp");
    QTest::addColumn<double>("psuTemp");
    QTest::addColumn<double>("reflection");
    QTest::addColumn<QString>("code");

    QTest::newRow("all well") << 0x0E << 0x0D << 0x0A << 0x0C << 25.0 << 25.0 << 0.01 << "00";
    QTest::newRow("amp hot") << 0x0E << 0x0D << 0x0A << 0x0C << 81.0 << 25.0 << 0.01 << "01";
    QTest::newRow("amp at its level") << 0x0E << 0x0D << 0x0A << 0x0C << 80.0 << 25.0 << 0.01 << "00";
    QTest::newRow("amp alarm off") << 0x0E << 0x0D << 0x0D << 0x0C << 120.0 << 25.0 << 0.01 << "00";
    QTest::newRow("amp over 40") << 0x0E << 0x0D << 0x04 << 0x0C << 41.0 << 25.0 << 0.01 << "01";
    // 300 W forward, 5 % back: 15 W against ">10W".
    QTest::newRow("reflected") << 0x68 << 0x04 << 0x0A << 0x0C << 25.0 << 25.0 << 0.05 << "02";
    QTest::newRow("reflected under 20") << 0x68 << 0x05 << 0x0A << 0x0C << 25.0 << 25.0 << 0.05 << "00";
    QTest::newRow("psu hot") << 0x0E << 0x0D << 0x0A << 0x0C << 25.0 << 71.0 << 0.01 << "04";
    // 300 W from 48 V at 70 %: about 2.2 A in each amplifier, against "2.0A".
    QTest::newRow("over-current") << 0x68 << 0x0D << 0x0A << 0x04 << 25.0 << 25.0 << 0.01 << "08";
    QTest::newRow("overdrive") << 0x69 << 0x0D << 0x0A << 0x0C << 25.0 << 25.0 << 0.01 << "16";
    QTest::newRow("swr and over-current") << 0x68 << 0x04 << 0x0A << 0x04 << 25.0 << 25.0 << 0.05 << "10";
    QTest::newRow("everything") << 0x69 << 0x04 << 0x04 << 0x04 << 99.0 << 99.0 << 0.5 << "31";
}

void TestSimTransmitter::alarmCode()
{
    QFETCH(int, output);
    QFETCH(int, swrLevel);
    QFETCH(int, tempLevel);
    QFETCH(int, currentLevel);
    QFETCH(double, ampTemp);
    QFETCH(double, psuTemp);
    QFETCH(double, reflection);
    QFETCH(QString, code);

    Transmitter tx;
    download(tx,
        { { Command::FO, output }, { Command::FAS, swrLevel }, { Command::FAT, tempLevel },
            { Command::FAC, currentLevel } });
    tx.setAmpTemp(ampTemp);
    tx.setPsuTemp(psuTemp);
    tx.setReflection(reflection);
    QCOMPARE(field(tx.report(), "AlarmCode"), code);
}

void TestSimTransmitter::temperaturesDriftSlowly()
{
    Transmitter cooled, uncooled;
    download(cooled, { { Command::FO, 0x68 }, { Command::FAA, 0x07 } }); // fan from 40 degC
    download(uncooled, { { Command::FO, 0x68 }, { Command::FAA, 0x10 } }); // fan disabled
    const double start = cooled.ampTemp();

    cooled.advance(1000);
    QVERIFY(cooled.ampTemp() > start);
    QVERIFY2(cooled.ampTemp() < start + 1.0, "one second moves the temperature by less than a degree");

    cooled.advance(30 * 60 * 1000);
    uncooled.advance(30 * 60 * 1000 + 1000);
    QVERIFY(cooled.fanRunning());
    QVERIFY(!uncooled.fanRunning());
    QVERIFY2(uncooled.ampTemp() > 55.0, qPrintable(QString::number(uncooled.ampTemp())));
    QVERIFY2(cooled.ampTemp() < 45.0, qPrintable(QString::number(cooled.ampTemp())));
    QVERIFY(cooled.psuTemp() > 30.0);

    // Back to OFF: it cools down again.
    const double hot = uncooled.ampTemp();
    download(uncooled, { { Command::FO, 0x04 } });
    uncooled.advance(10 * 60 * 1000);
    QVERIFY(uncooled.ampTemp() < hot - 10.0);
}

void TestSimTransmitter::uptimeCounts()
{
    Transmitter tx;
    tx.advance((24 * 60 + 2 * 60 + 5) * 60000LL + 59000);
    QCOMPARE(field(tx.report(), "Uptime"), QString("0001D:02H:05M"));
}

QTEST_GUILESS_MAIN(TestSimTransmitter)
#include "tst_sim_transmitter.moc"
