#include "status/alarms.h"

#include <QtTest>

// The alarm decoder: the five indicators from the two-digit code, and every text it must refuse.
class TestStatusAlarms : public QObject
{
    Q_OBJECT

    // "1" for a red indicator, "0" for grey, Shape1 first.
    static QString picture(const alarms::States &s)
    {
        QString out;
        for (bool on : s)
            out += on ? u'1' : u'0';
        return out;
    }

private slots:
    // clang-format off
    void namedCodes_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("shapes"); // Shape1 .. Shape5
        QTest::newRow("00 all grey") << "00" << "00000";
        QTest::newRow("01 AMP T") << "01" << "10000";
        QTest::newRow("02 SWR") << "02" << "01000";
        QTest::newRow("03 AMP T + SWR") << "03" << "11000";
        QTest::newRow("04 PSU T") << "04" << "00100";
        QTest::newRow("05 AMP T + PSU T") << "05" << "10100";
        QTest::newRow("08 OVER-CURRENT") << "08" << "00010";
        QTest::newRow("10 SWR + OVER-CURRENT") << "10" << "01010";
        QTest::newRow("16 RF OVERDRIVE") << "16" << "00001";
        QTest::newRow("21 AMP T + PSU T + RF OVERDRIVE") << "21" << "10101";
        QTest::newRow("31 all red") << "31" << "11111";
    }
    // clang-format on
    void namedCodes()
    {
        QFETCH(QString, code);
        QFETCH(QString, shapes);
        const auto states = alarms::decode(code);
        QVERIFY(states);
        QCOMPARE(picture(*states), shapes);
    }

    // Every one of the 32 codes is read as a decimal number whose bits light the indicators: the
    // sum of the values (1, 2, 4, 8, 16) of the red indicators gives the number back.
    void everyCodeFollowsTheBitRule()
    {
        QSet<QString> pictures;
        for (int n = 0; n <= 31; ++n) {
            const QString code = QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
            const auto states = alarms::decode(code);
            QVERIFY2(states, qPrintable(code));
            int sum = 0;
            for (int i = 0; i < 5; ++i)
                sum += (*states)[i] ? (1 << i) : 0;
            QCOMPARE(sum, n);
            pictures.insert(picture(*states));
        }
        QCOMPARE(pictures.size(), 32);
    }

    // clang-format off
    void refused_data()
    {
        QTest::addColumn<QString>("code");
        QTest::newRow("32") << "32";
        QTest::newRow("99") << "99";
        QTest::newRow("one digit") << "5";
        QTest::newRow("leading blank") << " 05";
        QTest::newRow("trailing blank") << "05 ";
        QTest::newRow("hex digit") << "0A";
        QTest::newRow("three digits") << "005";
        QTest::newRow("sign") << "+5";
        QTest::newRow("negative") << "-1";
        QTest::newRow("empty") << "";
        QTest::newRow("other script digits") << QString::fromUtf8("\u0660\u0665"); // Arabic-Indic 05
        QTest::newRow("fullwidth digits") << QString::fromUtf8("\uFF10\uFF15");
    }
    // clang-format on
    void refused()
    {
        QFETCH(QString, code);
        QVERIFY(!alarms::decode(code).has_value());
    }
};

QTEST_GUILESS_MAIN(TestStatusAlarms)
#include "tst_status_alarms.moc"
