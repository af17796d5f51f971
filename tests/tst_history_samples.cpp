// What a sample holds: the number each field's text starts with (a table of texts as a transmitter
// might send them), the SWR worked out from the two powers, and only the fields the report carried,
// with the alarm code, uptime and firmware texts as they came.
#include "history/sample.h"
#include "status/report.h"

#include <QtTest>

using history::Sample;

class TestHistorySamples : public QObject
{
    Q_OBJECT
private slots:
    void numberRule_data();
    void numberRule();
    void swr_data();
    void swr();
    void fromDisplay();
    void missingFieldsAndBadTexts();
};

void TestHistorySamples::numberRule_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("has");
    QTest::addColumn<double>("value");

    // clang-format off
    QTest::newRow("12.5W") << "12.5W" << true << 12.5;
    QTest::newRow("0500W") << "0500W" << true << 500.0;
    QTest::newRow("0.0W") << "0.0W" << true << 0.0;
    QTest::newRow("35C") << "35C" << true << 35.0;
    QTest::newRow("48.0V") << "48.0V" << true << 48.0;
    QTest::newRow("9999W") << "9999W" << true << 9999.0;
    QTest::newRow("no unit") << "12" << true << 12.0;
    QTest::newRow("negative") << "-3C" << true << -3.0;
    QTest::newRow("plus") << "+7.25A" << true << 7.25;
    QTest::newRow("leading point") << ".5A" << true << 0.5;
    QTest::newRow("trailing point") << "7.W" << true << 7.0;
    QTest::newRow("second point ends it") << "1.2.3V" << true << 1.2;
    QTest::newRow("leading blanks") << "  12.5 W " << true << 12.5;
    QTest::newRow("exponent is not read") << "1e5W" << true << 1.0;
    QTest::newRow("unit first") << "W12" << false << 0.0;
    QTest::newRow("empty") << "" << false << 0.0;
    QTest::newRow("blank") << "   " << false << 0.0;
    QTest::newRow("sign alone") << "-W" << false << 0.0;
    QTest::newRow("point alone") << ".W" << false << 0.0;
    QTest::newRow("sign and point") << "-." << false << 0.0;
    QTest::newRow("words") << "hot" << false << 0.0;
    QTest::newRow("markup") << "<b>5</b>" << false << 0.0;
    QTest::newRow("not ASCII digits") << QString::fromUtf8("\u0663\u0665W") << false << 0.0;
    QTest::newRow("Latin-1 noise") << QString::fromLatin1("\xe9\xff") << false << 0.0;
    QTest::newRow("long run of digits") << QString(40, u'9') + "W" << true << 1e40;
    QTest::newRow("too large to hold") << QString(400, u'9') << false << 0.0;
    QTest::newRow("tiny") << "0.000000000000000000001W" << true << 1e-21;
    // clang-format on
}

void TestHistorySamples::numberRule()
{
    QFETCH(QString, text);
    QFETCH(bool, has);
    QFETCH(double, value);
    const std::optional<double> got = history::leadingNumber(text);
    QCOMPARE(got.has_value(), has);
    if (has)
        QCOMPARE(*got, value);
}

void TestHistorySamples::swr_data()
{
    QTest::addColumn<double>("forward");
    QTest::addColumn<double>("reflected");
    QTest::addColumn<double>("swr"); // 0: none

    QTest::newRow("no reflection") << 100.0 << 0.0 << 1.0;
    QTest::newRow("1 in 100") << 100.0 << 1.0 << (1.1 / 0.9);
    QTest::newRow("a quarter") << 100.0 << 25.0 << 3.0;
    QTest::newRow("no forward power") << 0.0 << 0.0 << 0.0;
    QTest::newRow("all reflected") << 50.0 << 50.0 << 0.0;
    QTest::newRow("more reflected than forward") << 10.0 << 20.0 << 0.0;
    QTest::newRow("negative reflected") << 10.0 << -1.0 << 0.0;
}

void TestHistorySamples::swr()
{
    QFETCH(double, forward);
    QFETCH(double, reflected);
    QFETCH(double, swr);
    const auto got = history::standingWaveRatio(forward, reflected);
    QCOMPARE(got.has_value(), swr > 0);
    if (got)
        QVERIFY2(qAbs(*got - swr) < 1e-12, qPrintable(QString::number(*got, 'g', 17)));
}

void TestHistorySamples::fromDisplay()
{
    report::Display display = report::Display::initial();
    report::apply(QStringLiteral("Pfwd=0400.0W,Pref=4.0W,Tpsu=35C,Tamp=41C,Iamp1=2.5A,Iamp2=2.6A,Iamp3=2.7A,"
                                 "Iamp4=2.8A,Uamp1=48.0V,Uamp2=47.5V,Uamp3=48.5V,Uamp4=49V,"
                                 "Uptime=0012D:03H:45M,Firmware=1.40,PowerLimit=0500W,AlarmCode=02,Audio=d"),
        display);
    const Sample s = Sample::fromDisplay(display, 1700000000123);
    QCOMPARE(s.time, 1700000000123);
    const double expected[] = { 400, 4, 0, 35, 41, 2.5, 2.6, 2.7, 2.8, 48, 47.5, 48.5, 49, 500, 52 };
    for (int i = 0; i < history::kSeriesCount; ++i) {
        if (i != history::Swr)
            QCOMPARE(s.values[i], expected[i]);
    }
    QVERIFY(qAbs(s.values[history::Swr] - 1.1 / 0.9) < 1e-12);
    QCOMPARE(s.alarmCode, QStringLiteral("02"));
    QCOMPARE(s.uptime, QStringLiteral("0012D:03H:45M"));
    QCOMPARE(s.firmware, QStringLiteral("1.40"));
    // The display itself still shows the texts as they came.
    QCOMPARE(display.texts[0], QStringLiteral("0400.0W"));
    QCOMPARE(display.texts[14], QStringLiteral("0500W"));
}

// A report that lacks fields keeps their boxes as they were, but the sample has no value for them:
// the history does not repeat an old reading, or an initial text, as a new one.
void TestHistorySamples::missingFieldsAndBadTexts()
{
    report::Display display = report::Display::initial();
    report::apply(QStringLiteral("Pfwd=250W,Audio=0,Firmware=v3"), display); // no "," after the firmware
    Sample s = Sample::fromDisplay(display, 1);
    QCOMPARE(s.values[history::Forward], 250.0);
    for (int i = 0; i < history::kSeriesCount; ++i) {
        if (i != history::Forward && i != history::RfDrive)
            QVERIFY2(!history::hasValue(s.values[i]), history::series()[i].csv);
    }
    QCOMPARE(s.values[history::RfDrive], 0.0);
    QVERIFY(s.alarmCode.isNull());
    QVERIFY(s.uptime.isNull());
    QVERIFY(s.firmware.isNull()); // not carried: no "," after it
    QCOMPARE(display.texts[1], QStringLiteral("0.0W")); // still shown

    report::apply(
        QStringLiteral("Pfwd=n/a,Pref=,Uptime=,Firmware=x\"y,AlarmCode=7,Tamp=99999999999C,"), display);
    s = Sample::fromDisplay(display, 2);
    QVERIFY(!history::hasValue(s.values[history::Forward]));
    QVERIFY(!history::hasValue(s.values[history::Reflected]));
    QVERIFY(!history::hasValue(s.values[history::Swr]));
    QVERIFY(!history::hasValue(s.values[history::RfDrive])); // no Audio= this time
    QCOMPARE(s.values[history::AmpTemp], 99999999999.0);
    QCOMPARE(s.alarmCode, QStringLiteral("7")); // as received, though it lights nothing
    QVERIFY(!s.uptime.isNull());
    QVERIFY(s.uptime.isEmpty()); // carried, empty
    QCOMPARE(s.firmware, QStringLiteral("x\"y"));
    QCOMPARE(display.alarmCode, QStringLiteral("7"));
    QCOMPARE(display.texts[0], QStringLiteral("n/a"));
}

QTEST_GUILESS_MAIN(TestHistorySamples)
#include "tst_history_samples.moc"
