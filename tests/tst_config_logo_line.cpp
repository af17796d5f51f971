// The 16-character rule of the logo lines and their conversion to the bytes that go on the wire.
#include "config/logo_line.h"

#include <QtTest>

class TestLogoLine : public QObject
{
    Q_OBJECT
private slots:
    void applyRule_data();
    void applyRule();
    void isLatin1_data();
    void isLatin1();
    void toBytes_data();
    void toBytes();
};

void TestLogoLine::applyRule_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("three characters get 13 blanks") << "abc"
                                                    << "abc             ";
    QTest::newRow("twenty characters keep the first 16") << "ABCDEFGHIJKLMNOPQRST"
                                                         << "ABCDEFGHIJKLMNOP";
    QTest::newRow("empty becomes 16 blanks") << ""
                                             << "                ";
    QTest::newRow("exactly 16 unchanged") << "<<VALTRONA FM+>>"
                                          << "<<VALTRONA FM+>>";
    QTest::newRow("blanks at either end are kept") << "  mid  "
                                                   << "  mid           ";
    QTest::newRow("Latin-1 letters kept")
        << QString::fromUtf8("Caf\u00e9 \u00dcber") << QString::fromUtf8("Caf\u00e9 \u00dcber       ");
    QTest::newRow("no Latin-1 code becomes ?")
        << QString::fromUtf8("5\u20ac \u0141\u00f3d\u017a") << QString::fromUtf8("5? ?\u00f3d?         ");
    // A character outside the basic plane is two UTF-16 units but one character: one "?".
    QTest::newRow("surrogate pair is one character")
        << QString::fromUtf8("a\U0001F4FBb") << "a?b             ";
    QTest::newRow("pair at the cut is not split")
        << QString::fromUtf8("ABCDEFGHIJKLMNO\U0001F4FBZ") << "ABCDEFGHIJKLMNO?";
    // The box's rule keeps control characters, the frame's own among them (sent as blanks).
    QTest::newRow("control characters kept") << QString::fromLatin1(
        "\x01\x02\x00\x0d", 4) << QString::fromLatin1("\x01\x02\x00\x0d", 4) + QString(12, u' ');
}

void TestLogoLine::applyRule()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    const QString line = logo_line::applyRule(text);
    QCOMPARE(line, expected);
    QCOMPARE(line.size(), logo_line::kLength);
    QVERIFY(logo_line::isLatin1(line));
    // The rule is settled: applying it to its own result changes nothing.
    QCOMPARE(logo_line::applyRule(line), line);
}

void TestLogoLine::isLatin1_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("latin1");

    QTest::newRow("empty") << "" << true;
    QTest::newRow("ASCII") << "ZTK Electronics " << true;
    QTest::newRow("y with diaeresis, the last Latin-1 code") << QString::fromUtf8("\u00ff") << true;
    QTest::newRow("first code past Latin-1") << QString::fromUtf8("ok\u0100") << false;
    QTest::newRow("euro sign") << QString::fromUtf8("10\u20ac") << false;
    QTest::newRow("outside the basic plane") << QString::fromUtf8("\U0001F4FB") << false;
}

void TestLogoLine::isLatin1()
{
    QFETCH(QString, text);
    QFETCH(bool, latin1);
    QCOMPARE(logo_line::isLatin1(text), latin1);
}

void TestLogoLine::toBytes_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("ASCII as is") << "FM+" << QByteArray("FM+");
    QTest::newRow("Latin-1 as single bytes")
        << QString::fromUtf8("\u00e9\u00b0\u00ff") << QByteArray::fromHex("e9b0ff");
    QTest::newRow("no Latin-1 code becomes ?") << QString::fromUtf8("a\u20acb") << QByteArray("a?b");
    QTest::newRow("a pair gives one byte") << QString::fromUtf8("\U0001F4FB!") << QByteArray("?!");
    QTest::newRow("not cut to 16") << "ABCDEFGHIJKLMNOPQRST" << QByteArray("ABCDEFGHIJKLMNOPQRST");
    // 0x01 and 0x02 start and end the frame's value: sent as blanks. Any other byte goes as it is.
    QTest::newRow("the frame's own bytes as blanks") << QString::fromLatin1("\x01"
                                                                            "A\x02",
        3) << QByteArray::fromHex("204120");
    QTest::newRow("every other control byte passes")
        << QString::fromLatin1("\x00\x03\x0d\x1b\x7f", 5) << QByteArray::fromHex("00030d1b7f");
    QTest::newRow("all other bytes pass")
        << QString::fromLatin1("\x80\xa0\xfe\xff", 4) << QByteArray::fromHex("80a0feff");
}

void TestLogoLine::toBytes()
{
    QFETCH(QString, line);
    QFETCH(QByteArray, bytes);
    QCOMPARE(logo_line::toBytes(line), bytes);
}

QTEST_APPLESS_MAIN(TestLogoLine)
#include "tst_config_logo_line.moc"
