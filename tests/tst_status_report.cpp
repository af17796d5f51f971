#include "status/report.h"

#include <QtTest>

// The report parser: which text each box shows, the RF drive level and the alarm indicators after
// one complete report, starting from the display a previous report left.
class TestStatusReport : public QObject
{
    Q_OBJECT

    // The boxes the rows below name, in the order of the report's fields.
    static int indexOfControl(const QString &control)
    {
        static const QStringList boxes { "Text1", "Text2", "Text3", "Text4", "Text9", "Text13", "Text15",
            "Text16", "Text5", "Text17", "Text18", "Text19", "Text12", "Text14", "Text11" };
        return int(boxes.indexOf(control));
    }

    static QString picture(const alarms::States &s)
    {
        QString out;
        for (bool on : s)
            out += on ? u'1' : u'0';
        return out;
    }

    // Bytes as the collector hands them over: one byte, one character.
    static QString latin1(const char *bytes) { return QString::fromLatin1(bytes); }

    // A report that sets every field to a value of its own.
    static QString fullReport()
    {
        return QStringLiteral("Pfwd=101.5W,Pref=2.1W,Tpsu=31C,Tamp=42C,Iamp1=1.1A,Iamp2=1.2A,Iamp3=1.3A,"
                              "Iamp4=1.4A,Uamp1=48.1V,Uamp2=48.2V,Uamp3=48.3V,Uamp4=48.4V,"
                              "Uptime=0003D:04H:05M,Firmware=v2.07b,PowerLimit=150W,AlarmCode=05,Audio=K");
    }

private slots:
    // clang-format off
    void fieldTable_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("initial");
        QTest::addColumn<QString>("fromFullReport");
        QTest::newRow("1") << "Pfwd=" << "0.0W" << "101.5W";
        QTest::newRow("2") << "Pref=" << "0.0W" << "2.1W";
        QTest::newRow("3") << "Tpsu=" << "20C" << "31C";
        QTest::newRow("4") << "Tamp=" << "20C" << "42C";
        QTest::newRow("5") << "Iamp1=" << "0.0A" << "1.1A";
        QTest::newRow("6") << "Iamp2=" << "0.0A" << "1.2A";
        QTest::newRow("7") << "Iamp3=" << "0.0A" << "1.3A";
        QTest::newRow("8") << "Iamp4=" << "0.0A" << "1.4A";
        QTest::newRow("9") << "Uamp1=" << "0.0V" << "48.1V";
        QTest::newRow("10") << "Uamp2=" << "0.0V" << "48.2V";
        QTest::newRow("11") << "Uamp3=" << "0.0V" << "48.3V";
        QTest::newRow("12") << "Uamp4=" << "0.0V" << "48.4V";
        QTest::newRow("13") << "Uptime=" << "0000D:00H:00M"
                            << "0003D:04H:05M";
        QTest::newRow("14") << "Firmware=" << "-------" << "v2.07b";
        QTest::newRow("15") << "PowerLimit=" << "9999W" << "150W";
    }
    // clang-format on
    void fieldTable()
    {
        QFETCH(QString, key);
        QFETCH(QString, initial);
        QFETCH(QString, fromFullReport);
        const int row = QString::fromLatin1(QTest::currentDataTag()).toInt() - 1;
        const report::Field &f = report::fields()[row];
        QCOMPARE(QLatin1String(f.key), key);
        QCOMPARE(QLatin1String(f.initial), initial);

        const report::Display fresh = report::Display::initial();
        QCOMPARE(fresh.texts[row], initial);
        report::Display d = fresh;
        report::apply(fullReport(), d);
        QCOMPARE(d.texts[row], fromFullReport);
    }

    void initialDisplay()
    {
        const report::Display d = report::Display::initial();
        QCOMPARE(d.driveLevel, 0);
        QCOMPARE(picture(d.alarms), QStringLiteral("00000"));
    }

    // `before` is applied to the initial display first; `changes` lists the boxes that must differ
    // from what `before` left ("Control=text"), every other box must be as `before` left it. A
    // level of -1 and an empty alarm picture mean "as `before` left it".
    // clang-format off
    void apply_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("report");
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("alarms");

        const QString none;
        QTest::newRow("report that begins with power")
            << none << "Pfwd=12.5W,Pref=0.3W," << QStringList{"Text1=12.5W", "Text2=0.3W"} << -1 << none;
        QTest::newRow("fields in another order")
            << none << "Uptime=0012D:03H:44M,Tamp=45C,PowerLimit=80W,Pfwd=1W,"
            << QStringList{"Text12=0012D:03H:44M", "Text4=45C", "Text11=80W", "Text1=1W"} << -1 << none;
        QTest::newRow("key twice: first wins")
            << none << "Pfwd=1W,Pref=2W,Pfwd=9W," << QStringList{"Text1=1W", "Text2=2W"} << -1 << none;
        QTest::newRow("key found inside another value")
            << none << "Firmware=Pfwd=3W,Pfwd=4W," << QStringList{"Text14=Pfwd=3W", "Text1=3W"} << -1 << none;
        QTest::newRow("empty value empties the box")
            << "Pfwd=5W,Tamp=30C," << "Pfwd=,Tamp=31C," << QStringList{"Text1=", "Text4=31C"} << -1 << none;
        QTest::newRow("value shown untrimmed and unconverted")
            << none << latin1("Pfwd= 12.5 W ,Tpsu=<b>hot</b>,Iamp1=\xe9\xff,")
            << QStringList{"Text1= 12.5 W ", "Text3=<b>hot</b>", latin1("Text9=\xe9\xff")} << -1 << none;
        QTest::newRow("missing key keeps previous")
            << fullReport() << "Pref=7W," << QStringList{"Text2=7W"} << -1 << none;
        QTest::newRow("value without comma keeps previous")
            << fullReport() << "Pref=1W,Firmware=v3" << QStringList{"Text2=1W"} << -1 << none;
        QTest::newRow("empty report changes nothing") << fullReport() << "" << QStringList{} << -1 << none;

        QTest::newRow("Audio=A gives 17") << none << "Audio=A" << QStringList{} << 17 << none;
        QTest::newRow("Audio=0 gives 0") << "Audio=9" << "Audio=0," << QStringList{} << 0 << none;
        QTest::newRow("Audio first occurrence") << none << "Audio=3,Audio=7" << QStringList{} << 3 << none;
        QTest::newRow("Audio byte 148 gives 100") << none << latin1("Audio=\x94") << QStringList{} << 100
                                                  << none;
        QTest::newRow("Audio byte 147 gives 99") << none << latin1("Audio=\x93") << QStringList{} << 99
                                                 << none;
        QTest::newRow("Audio byte 255 gives 100") << none << latin1("Audio=\xff") << QStringList{} << 100
                                                  << none;
        QTest::newRow("Audio at end keeps previous")
            << "Audio=9" << "Pfwd=1W,Audio=" << QStringList{"Text1=1W"} << 9 << none;
        QTest::newRow("Audio below 0 keeps previous") << "Audio=9" << "Audio=/" << QStringList{} << 9 << none;

        QTest::newRow("AlarmCode 05") << none << "AlarmCode=05," << QStringList{} << -1 << "10100";
        QTest::newRow("AlarmCode 00 after 31") << "AlarmCode=31," << "AlarmCode=00," << QStringList{} << -1
                                               << "00000";
        QTest::newRow("AlarmCode 32 keeps previous") << "AlarmCode=05," << "AlarmCode=32," << QStringList{}
                                                     << -1 << "10100";
        QTest::newRow("AlarmCode without comma keeps previous")
            << "AlarmCode=05," << "AlarmCode=31" << QStringList{} << -1 << "10100";
        QTest::newRow("AlarmCode first occurrence") << none << "AlarmCode=10,AlarmCode=21," << QStringList{}
                                                    << -1 << "01010";
    }
    // clang-format on
    void apply()
    {
        QFETCH(QString, before);
        QFETCH(QString, report);
        QFETCH(QStringList, changes);
        QFETCH(int, level);
        QFETCH(QString, alarms);

        report::Display start = report::Display::initial();
        report::apply(before, start);

        report::Display expected = start;
        for (const QString &change : changes) {
            const qsizetype eq = change.indexOf(u'=');
            const int index = indexOfControl(change.left(eq));
            QVERIFY2(index >= 0, qPrintable(change));
            const QString text = change.mid(eq + 1);
            QVERIFY2(start.texts[index] != text, "a listed change must differ from the start");
            expected.texts[index] = text;
        }
        if (level >= 0)
            expected.driveLevel = level;
        report::Display got = start;
        report::apply(report, got);

        for (int i = 0; i < report::kTextFields; ++i)
            QCOMPARE(got.texts[i], expected.texts[i]);
        QCOMPARE(got.driveLevel, expected.driveLevel);
        QCOMPARE(picture(got.alarms), alarms.isEmpty() ? picture(start.alarms) : alarms);
    }
};

QTEST_GUILESS_MAIN(TestStatusReport)
#include "tst_status_report.moc"
