// The simulator's frame decoder: every command the panel sends, whole, byte by byte and in uneven
// chunks, and the broken frames it must report and recover from.
#include "sim/frame_decoder.h"

#include <QRandomGenerator>
#include <QTest>

using sim::Decoded;
using sim::FrameDecoder;

namespace {

const QByteArray kStatusRequest = QByteArray::fromHex("00464d012002");

QList<Decoded> feedWhole(const QByteArray &bytes)
{
    FrameDecoder d;
    return d.feed(bytes);
}

QList<Decoded> feedBytewise(const QByteArray &bytes)
{
    FrameDecoder d;
    QList<Decoded> out;
    for (char b : bytes)
        out += d.feed(QByteArray(1, b));
    return out;
}

QList<Decoded> feedChunked(const QByteArray &bytes, quint32 seed)
{
    FrameDecoder d;
    QRandomGenerator random(seed);
    QList<Decoded> out;
    for (int i = 0; i < bytes.size();) {
        const int n = 1 + int(random.bounded(7));
        out += d.feed(bytes.mid(i, n));
        i += n;
    }
    return out;
}

QStringList commands(const QList<Decoded> &results)
{
    QStringList names;
    for (const Decoded &r : results) {
        if (r.ok)
            names << QLatin1String(sim::commandName(r.command));
    }
    return names;
}

QList<Decoded> malformed(const QList<Decoded> &results)
{
    QList<Decoded> bad;
    for (const Decoded &r : results) {
        if (!r.ok)
            bad << r;
    }
    return bad;
}

QByteArray allRaw(const QList<Decoded> &results)
{
    QByteArray raw;
    for (const Decoded &r : results)
        raw += r.raw;
    return raw;
}

} // namespace

class TestSimDecoder : public QObject
{
    Q_OBJECT
private slots:
    void validFrame_data();
    void validFrame();
    void allCommandsInOneStream();
    void malformedFrame_data();
    void malformedFrame();
    void piecesKeepArrivalTimes();
    void abandonReportsUnfinishedFrame();
};

void TestSimDecoder::validFrame_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("value");

    QTest::newRow("FM") << QByteArray::fromHex("00464d012002") << "FM" << QByteArray(" ");
    QTest::newRow("FO") << QByteArray::fromHex("0000464f013602") << "FO" << QByteArray("\x36");
    QTest::newRow("FAS") << QByteArray::fromHex("0000464153010d02") << "FAS" << QByteArray("\x0d");
    QTest::newRow("FAT") << QByteArray::fromHex("0000464154010402") << "FAT" << QByteArray("\x04");
    QTest::newRow("FAU") << QByteArray::fromHex("0000464155011602") << "FAU" << QByteArray("\x16");
    QTest::newRow("FAC") << QByteArray::fromHex("0000464143016502") << "FAC" << QByteArray("\x65");
    QTest::newRow("FAA") << QByteArray::fromHex("0000464141011002") << "FAA" << QByteArray("\x10");
    QTest::newRow("FW") << QByteArray::fromHex("004657013002") << "FW" << QByteArray("0");
    QTest::newRow("FL1") << QByteArray::fromHex("0000464c3101") + "Radio One 101.5 " + '\x02' << "FL1"
                         << QByteArray("Radio One 101.5 ");
    QTest::newRow("FLS") << QByteArray::fromHex("0000464c53013002") << "FLS" << QByteArray("0");
    // Values are taken by count: bytes that look like framing inside a value are characters.
    const QByteArray oddLine = QByteArray::fromHex("0001ff20") + "abcdefghijkl";
    QTest::newRow("FL2 with 00 01 inside")
        << QByteArray::fromHex("0000464c3201") + oddLine + '\x02' << "FL2" << oddLine;
    QTest::newRow("FO value 02") << QByteArray::fromHex("0000464f010202") << "FO" << QByteArray("\x02");
    QTest::newRow("FO value 00") << QByteArray::fromHex("0000464f010002") << "FO" << QByteArray(1, '\0');
}

void TestSimDecoder::validFrame()
{
    QFETCH(QByteArray, wire);
    QFETCH(QString, command);
    QFETCH(QByteArray, value);

    const QList<QList<Decoded>> ways { feedWhole(wire), feedBytewise(wire), feedChunked(wire, 7),
        feedChunked(wire, 99) };
    for (const QList<Decoded> &results : ways) {
        QCOMPARE(results.size(), 1);
        QVERIFY2(results[0].ok, qPrintable(results[0].error));
        QCOMPARE(QLatin1String(sim::commandName(results[0].command)), command);
        QCOMPARE(results[0].value, value);
        QCOMPARE(results[0].raw, wire);
    }
}

void TestSimDecoder::allCommandsInOneStream()
{
    // A settings download, a logo download and a status request back to back.
    QByteArray stream;
    for (const char *letters : { "FO", "FAS", "FAT", "FAU", "FAC", "FAA" })
        stream += QByteArray(2, '\0') + letters + '\x01' + '\x09' + '\x02';
    stream += QByteArray::fromHex("004657013002");
    stream += QByteArray::fromHex("0000464c3101") + "0123456789abcdef" + '\x02';
    stream += QByteArray::fromHex("0000464c3201") + "fedcba9876543210" + '\x02';
    stream += QByteArray::fromHex("0000464c53013002");
    stream += kStatusRequest;

    const QStringList expected { "FO", "FAS", "FAT", "FAU", "FAC", "FAA", "FW", "FL1", "FL2", "FLS", "FM" };
    QCOMPARE(commands(feedWhole(stream)), expected);
    QCOMPARE(commands(feedBytewise(stream)), expected);
    QCOMPARE(commands(feedChunked(stream, 3)), expected);
    QVERIFY(malformed(feedChunked(stream, 3)).isEmpty());
}

void TestSimDecoder::malformedFrame_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<int>("badCount");
    QTest::addColumn<QString>("firstReason");
    QTest::addColumn<QStringList>("frames"); // decoded before the status request that follows

    QTest::newRow("stray bytes") << QByteArray("ABCD") << 1 << "4 stray bytes" << QStringList();
    QTest::newRow("long stray run") << QByteArray(100, 'A') << 2 << "64 stray bytes" << QStringList();
    QTest::newRow("extra 00 before FM") << QByteArray(1, '\0') << 1 << "extra 00 before FM" << QStringList();
    QTest::newRow("three 00 before FO")
        << QByteArray::fromHex("000000464f013602") << 1 << "extra 00 before FO" << QStringList { "FO" };
    QTest::newRow("FO with one 00") << QByteArray::fromHex("00464f013602") << 2 << "FO with 1 lead"
                                    << QStringList();
    QTest::newRow("FW with two 00") << QByteArray::fromHex("00004657013002") << 1 << "extra 00 before FW"
                                    << QStringList { "FW" };
    QTest::newRow("unknown command") << QByteArray::fromHex("0000465801") << 2 << "unknown command \"FX\""
                                     << QStringList();
    QTest::newRow("no letters") << QByteArray::fromHex("0000ff01") << 2 << "no command letters"
                                << QStringList();
    QTest::newRow("letters cut short")
        << QByteArray::fromHex("0000464c") << 1 << "cut short after \"FL\"" << QStringList();
    QTest::newRow("no 02 after value")
        << QByteArray::fromHex("0000464f013603") << 1 << "not followed by 02" << QStringList();
    QTest::newRow("next frame after value")
        << QByteArray::fromHex("0000464f0136") << 1 << "FO value not followed by 02" << QStringList();
    QTest::newRow("short logo line") << QByteArray::fromHex("0000464c310141424302") << 1
                                     << "FL1 line of 3 characters" << QStringList();
}

void TestSimDecoder::malformedFrame()
{
    QFETCH(QByteArray, wire);
    QFETCH(int, badCount);
    QFETCH(QString, firstReason);
    QFETCH(QStringList, frames);

    // Every broken input is followed by a good status request: the decoder must find it again.
    const QByteArray stream = wire + kStatusRequest;
    const QList<QList<Decoded>> ways { feedWhole(stream), feedBytewise(stream), feedChunked(stream, 5) };
    for (const QList<Decoded> &results : ways) {
        const QList<Decoded> bad = malformed(results);
        QCOMPARE(bad.size(), badCount);
        QVERIFY2(bad[0].error.contains(firstReason), qPrintable(bad[0].error));
        QCOMPARE(commands(results), frames + QStringList { "FM" });
        QCOMPARE(results.last().raw, kStatusRequest);
        // Nothing is lost or counted twice: the results cover the stream exactly.
        QCOMPARE(allRaw(results), stream);
    }
}

void TestSimDecoder::piecesKeepArrivalTimes()
{
    // A logo frame as the panel sends it: lead and letters, then four pieces, then 02, a pause
    // between each.
    FrameDecoder d;
    QList<Decoded> out;
    out += d.feed(QByteArray::fromHex("0000464c3101"), 1000);
    for (int i = 0; i < 4; ++i)
        out += d.feed(QByteArray("WXYZ").mid(i, 1).repeated(4), 2000 + i * 1000);
    QVERIFY(out.isEmpty());
    QVERIFY(d.pending());
    out += d.feed(QByteArray("\x02") + kStatusRequest, 6000);

    QCOMPARE(out.size(), 2);
    QVERIFY(out[0].ok);
    QCOMPARE(out[0].value, QByteArray("WWWWXXXXYYYYZZZZ"));
    QCOMPARE(out[0].pieces.size(), 6);
    const QList<double> times { 1000, 2000, 3000, 4000, 5000, 6000 };
    for (int i = 0; i < 6; ++i)
        QCOMPARE(out[0].pieces[i].time, times[i]);
    QCOMPARE(out[0].pieces[1].bytes, QByteArray("WWWW"));
    QCOMPARE(out[0].pieces[5].bytes, QByteArray("\x02"));
    // The status request that shared the last read starts a piece of its own.
    QCOMPARE(out[1].pieces.size(), 1);
    QCOMPARE(out[1].pieces[0].bytes, kStatusRequest);
    QCOMPARE(out[1].pieces[0].time, 6000.0);
    QVERIFY(!d.pending());
}

void TestSimDecoder::abandonReportsUnfinishedFrame()
{
    FrameDecoder d;
    QVERIFY(d.abandon("quiet").isEmpty());
    QVERIFY(d.feed(QByteArray::fromHex("0000464c310141424344")).isEmpty());
    const QList<Decoded> given = d.abandon("sender went quiet");
    QCOMPARE(given.size(), 1);
    QVERIFY(!given[0].ok);
    QCOMPARE(given[0].error, QString("sender went quiet"));
    QCOMPARE(given[0].raw, QByteArray::fromHex("0000464c310141424344"));
    QVERIFY(!d.pending());
    // What the panel sends next is read on its own, not as the rest of the logo line.
    QCOMPARE(commands(d.feed(kStatusRequest)), QStringList { "FM" });
}

QTEST_GUILESS_MAIN(TestSimDecoder)
#include "tst_sim_decoder.moc"
