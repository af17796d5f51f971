// The command frames byte by byte, field by field: the link is handed one write per field, so the
// split matters as much as the bytes.
#include "link/frames.h"

#include <QtTest>

using frames::Command;
using frames::Fields;

Q_DECLARE_METATYPE(frames::Fields)

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

} // namespace

class TestFrames : public QObject
{
    Q_OBJECT
private slots:
    void oneByteFrames_data();
    void oneByteFrames();
    void logoFrames_data();
    void logoFrames();
    void fixedFrames_data();
    void fixedFrames();
    void everyValueByteIsCarried();
};

void TestFrames::oneByteFrames_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<char>("value");
    QTest::addColumn<Fields>("fields");

    QTest::newRow("FM") << int(Command::FM) << ' ' << Fields { hex("00"), "FM", hex("01"), " ", hex("02") };
    QTest::newRow("FO") << int(Command::FO) << char(0x04)
                        << Fields { hex("0000"), "FO", hex("01"), hex("04"), hex("02") };
    QTest::newRow("FAS") << int(Command::FAS) << char(0x0d)
                         << Fields { hex("0000"), "FAS", hex("01"), hex("0d"), hex("02") };
    QTest::newRow("FAT") << int(Command::FAT) << char(0x05)
                         << Fields { hex("0000"), "FAT", hex("01"), hex("05"), hex("02") };
    QTest::newRow("FAU") << int(Command::FAU) << char(0x1e)
                         << Fields { hex("0000"), "FAU", hex("01"), hex("1e"), hex("02") };
    QTest::newRow("FAC") << int(Command::FAC) << char(0x65)
                         << Fields { hex("0000"), "FAC", hex("01"), hex("65"), hex("02") };
    QTest::newRow("FAA") << int(Command::FAA) << char(0x10)
                         << Fields { hex("0000"), "FAA", hex("01"), hex("10"), hex("02") };
    QTest::newRow("FW") << int(Command::FW) << '0' << Fields { hex("00"), "FW", hex("01"), "0", hex("02") };
    QTest::newRow("FLS") << int(Command::FLS) << '0'
                         << Fields { hex("0000"), "FLS", hex("01"), "0", hex("02") };
    // A zero value byte is a field of its own, not an empty one.
    QTest::newRow("FO value 00") << int(Command::FO) << char(0x00)
                                 << Fields { hex("0000"), "FO", hex("01"), hex("00"), hex("02") };
}

void TestFrames::oneByteFrames()
{
    QFETCH(int, command);
    QFETCH(char, value);
    QFETCH(Fields, fields);
    const Command c = Command(command);
    QCOMPARE(frames::frame(c, value), fields);
    QCOMPARE(frames::leadLength(c), fields.first().size());
    QCOMPARE(QByteArray(frames::letters(c)), fields.at(1));
}

void TestFrames::logoFrames_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<Fields>("fields");

    const QByteArray lead = hex("0000"), sov = hex("01"), eof = hex("02");
    QTest::newRow("FL1 sixteen") << int(Command::FL1) << QByteArray("Radio Valley 101")
                                 << Fields { lead, "FL1", sov, "Radi", "o Va", "lley", " 101", eof };
    QTest::newRow("FL2 sixteen") << int(Command::FL2) << QByteArray("ABCDEFGHIJKLMNOP")
                                 << Fields { lead, "FL2", sov, "ABCD", "EFGH", "IJKL", "MNOP", eof };
    QTest::newRow("past 16 never sent") << int(Command::FL1) << QByteArray("0123456789abcdefXYZW")
                                        << Fields { lead, "FL1", sov, "0123", "4567", "89ab", "cdef", eof };
    QTest::newRow("short last piece")
        << int(Command::FL2) << QByteArray("Hello") << Fields { lead, "FL2", sov, "Hell", "o", eof };
    QTest::newRow("ends on a piece boundary")
        << int(Command::FL1) << QByteArray("12345678") << Fields { lead, "FL1", sov, "1234", "5678", eof };
    QTest::newRow("empty line, no pieces")
        << int(Command::FL1) << QByteArray() << Fields { lead, "FL1", sov, eof };
    QTest::newRow("high bytes kept") << int(Command::FL2) << QByteArray("\xe9\xff\x00\x01", 4)
                                     << Fields { lead, "FL2", sov, QByteArray("\xe9\xff\x00\x01", 4), eof };
}

void TestFrames::logoFrames()
{
    QFETCH(int, command);
    QFETCH(QByteArray, line);
    QFETCH(Fields, fields);
    QCOMPARE(frames::logoFrame(Command(command), line), fields);
}

void TestFrames::fixedFrames_data()
{
    QTest::addColumn<Fields>("fields");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("status request") << frames::statusRequest().fields() << hex("00464d012002");
    QTest::newRow("store settings") << frames::storeSettings().fields()
                                    << hex("0046570130"
                                           "02");
    QTest::newRow("store logo") << frames::storeLogo().fields() << hex("0000464c53013002");
    QTest::newRow("FAS v=07") << frames::frame(Command::FAS, 0x07).fields() << hex("0000464153010702");
    QTest::newRow("FL1 wire") << frames::logoFrame(Command::FL1, "ABCDEFGHIJKLMNOP").fields()
                              << hex("0000464c3101"
                                     "4142434445464748494a4b4c4d4e4f50"
                                     "02");
}

void TestFrames::fixedFrames()
{
    QFETCH(Fields, fields);
    QFETCH(QByteArray, wire);
    QCOMPARE(frames::joined(fields).toHex(' '), wire.toHex(' '));
}

void TestFrames::everyValueByteIsCarried()
{
    // The value is any byte 00..FF, sent as itself: 00 and 02 inside the value are not escaped.
    for (int v = 0; v < 256; ++v) {
        const QByteArray wire = frames::joined(frames::frame(Command::FAC, char(v)));
        QCOMPARE(wire.size(), 8);
        QCOMPARE(quint8(wire.at(6)), quint8(v));
    }
}

QTEST_GUILESS_MAIN(TestFrames)
#include "tst_link_frames.moc"
