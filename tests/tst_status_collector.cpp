#include "status/collector.h"
#include "status/report.h"

#include <QRandomGenerator>
#include <QtTest>

// The receive collector: reports cut at each "$", the same whatever the burst sizes, and a buffer
// that stays bounded when no "$" comes.
class TestStatusCollector : public QObject
{
    Q_OBJECT

    struct Outcome {
        QStringList reports;
        QString buffer;
        qint64 dropped = 0;
    };

    // Feeds `stream` in pieces whose sizes `nextSize` chooses.
    template <typename NextSize> static Outcome feedInPieces(const QByteArray &stream, NextSize nextSize)
    {
        ReportCollector c;
        Outcome out;
        for (qsizetype at = 0; at < stream.size();) {
            const qsizetype n = qMin<qsizetype>(nextSize(), stream.size() - at);
            c.feed(stream.mid(at, n), [&](const QString &r) { out.reports << r; });
            at += n;
        }
        out.buffer = c.buffer();
        out.dropped = c.dropped();
        return out;
    }

    // The collector's rule written out one character at a time, as plainly as possible.
    static Outcome oneCharacterModel(const QByteArray &stream)
    {
        Outcome out;
        for (char byte : stream) {
            if (byte == '$') {
                out.reports << out.buffer;
                out.buffer.clear();
                continue;
            }
            out.buffer += QChar(uchar(byte));
            if (out.buffer.size() > ReportCollector::kCapacity) {
                out.buffer.remove(0, 1);
                ++out.dropped;
            }
        }
        return out;
    }

    // Noise, a complete report, a cut-short answer, a "$" inside a value, bytes above 127 and a
    // NUL, and a stretch longer than the buffer with no "$" in it.
    static QByteArray mixedStream()
    {
        QByteArray s;
        s += "\x01noise";
        s += "Pfwd=12.5W,Pref=0.3W,Tpsu=31C,AlarmCode=05,Audio=K$";
        s += "Pfwd=9W,Pr";
        s += "Pfwd=1W,Pref=2W,Audio=\x94$";
        s += "Firmware=v1$2,Tamp=40C,$";
        s += QByteArray("Iamp1=\xe9\xff\x80,", 10) + QByteArray(1, '\0') + "Uamp1=4V,$";
        for (int i = 0; i < 5000; ++i)
            s += char('a' + i % 26);
        s += "Pfwd=3W,$$";
        s += "tail without end";
        return s;
    }

private slots:
    // clang-format off
    void burstSizesDoNotMatter_data()
    {
        QTest::addColumn<int>("seed");
        QTest::addColumn<int>("maxBurst");
        QTest::newRow("bursts up to 3") << 1 << 3;
        QTest::newRow("bursts up to 64") << 2 << 64;
        QTest::newRow("bursts up to 5000") << 3 << 5000;
        QTest::newRow("bursts up to 20000") << 4 << 20000;
    }
    // clang-format on
    void burstSizesDoNotMatter()
    {
        QFETCH(int, seed);
        QFETCH(int, maxBurst);
        const QByteArray stream = mixedStream();
        const Outcome model = oneCharacterModel(stream);
        QCOMPARE(model.reports.size(), 7); // guards the fixture itself

        const Outcome whole = feedInPieces(stream, [&] { return stream.size(); });
        const Outcome single = feedInPieces(stream, [] { return 1; });
        QRandomGenerator rng(seed);
        const Outcome random = feedInPieces(stream, [&] { return rng.bounded(1, maxBurst + 1); });

        for (const Outcome *o : { &whole, &single, &random }) {
            QCOMPARE(o->reports, model.reports);
            QCOMPARE(o->buffer, model.buffer);
            QCOMPARE(o->dropped, model.dropped);
        }
        QCOMPARE(whole.buffer, QStringLiteral("tail without end"));
    }

    void dollarInsideValueStartsNextReport()
    {
        ReportCollector c;
        QStringList reports;
        c.feed("Pfwd=1$2W,Pref=3,", [&](const QString &r) { reports << r; });
        QCOMPARE(reports, QStringList { "Pfwd=1" });
        QCOMPARE(c.buffer(), QStringLiteral("2W,Pref=3,"));
        c.feed("$", [&](const QString &r) { reports << r; });
        QCOMPARE(reports, (QStringList { "Pfwd=1", "2W,Pref=3," }));
        QVERIFY(c.buffer().isEmpty());
    }

    void dollarIsNeverStored()
    {
        ReportCollector c;
        QStringList reports;
        c.feed("$$a$", [&](const QString &r) { reports << r; });
        QCOMPARE(reports, (QStringList { "", "", "a" }));
        QVERIFY(c.buffer().isEmpty());
    }

    // A cut-short answer stays in front; the next report is parsed together with it, the older
    // text winning, and the report after that is parsed on its own.
    void cutShortAnswerStaysInFront()
    {
        ReportCollector c;
        report::Display d = report::Display::initial();
        int reports = 0;
        const auto apply = [&](const QString &r) {
            report::apply(r, d);
            ++reports;
        };
        c.feed("Pfwd=9W,Pr", apply);
        QCOMPARE(reports, 0);
        QCOMPARE(c.buffer(), QStringLiteral("Pfwd=9W,Pr"));
        c.feed("Pfwd=1W,Pref=2W,$", apply);
        QCOMPARE(reports, 1);
        QCOMPARE(d.texts[0], QStringLiteral("9W"));
        QCOMPARE(d.texts[1], QStringLiteral("2W"));
        QVERIFY(c.buffer().isEmpty());
        c.feed("Pfwd=1W,$", apply);
        QCOMPARE(d.texts[0], QStringLiteral("1W"));
    }

    void bytesAreLatin1Characters()
    {
        ReportCollector c;
        c.feed(QByteArray("\x00\x7f\x80\xe9\xff", 5), {});
        const QString b = c.buffer();
        QCOMPARE(b.size(), 5);
        const char16_t expected[] = { 0x00, 0x7f, 0x80, 0xe9, 0xff };
        for (int i = 0; i < 5; ++i)
            QCOMPARE(b[i].unicode(), expected[i]);
    }

    void clearStartsOver()
    {
        ReportCollector c;
        QStringList reports;
        c.feed("Pfwd=9W,", {});
        c.clear();
        c.feed("Pref=1W,$", [&](const QString &r) { reports << r; });
        QCOMPARE(reports, QStringList { "Pref=1W," });
    }

    // clang-format off
    void capKeepsTheNewest_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("burst");
        QTest::newRow("one below, bursts of 100") << ReportCollector::kCapacity - 1 << 100;
        QTest::newRow("exactly full, one at a time") << ReportCollector::kCapacity << 1;
        QTest::newRow("one over, one at a time") << ReportCollector::kCapacity + 1 << 1;
        QTest::newRow("one over, one burst") << ReportCollector::kCapacity + 1 << 100000;
        QTest::newRow("far over, bursts of 777") << 50000 << 777;
    }
    // clang-format on
    void capKeepsTheNewest()
    {
        QFETCH(int, length);
        QFETCH(int, burst);
        QByteArray stream;
        for (int i = 0; i < length; ++i)
            stream += char('A' + (i * 7) % 26);
        const int kept = qMin(length, int(ReportCollector::kCapacity));

        ReportCollector c;
        for (int at = 0; at < length; at += burst)
            c.feed(stream.mid(at, burst), {});
        QCOMPARE(c.buffer(), QString::fromLatin1(stream.right(kept)));
        QCOMPARE(c.dropped(), qint64(length - kept));

        QStringList reports;
        c.feed("$", [&](const QString &r) { reports << r; });
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports[0].size(), kept);
        QVERIFY(reports[0].endsWith(QString::fromLatin1(stream.right(10))));
    }

    // Megabytes without a "$", in bursts and one byte at a time: the memory held stays that of one
    // full buffer.
    void memoryStaysBounded()
    {
        ReportCollector c;
        QRandomGenerator rng(7);
        QByteArray chunk(1000, 'x');
        for (int i = 0; i < 3000; ++i)
            c.feed(chunk.left(rng.bounded(1, 1001)), {});
        for (int i = 0; i < 20000; ++i)
            c.feed("y", {});
        QCOMPARE(c.buffer().size(), ReportCollector::kCapacity);
        QVERIFY2(c.buffer().capacity() <= 4 * ReportCollector::kCapacity,
            qPrintable(QString::number(c.buffer().capacity())));
        QCOMPARE(c.buffer(), QString(ReportCollector::kCapacity, u'y'));
    }
};

QTEST_GUILESS_MAIN(TestStatusCollector)
#include "tst_status_collector.moc"
