// Store files and texts out of the ordinary, as the fuzzing of the store turned them up. Whatever a
// file held, a save leaves a file from which the next load gets the record back, and saving again
// does not change the file; whatever a text holds, it comes back from the file unchanged.
#include "settings/ini_document.h"
#include "settings/record.h"
#include "settings/store.h"
#include "settings/table.h"
#include "support/test_env.h"

#include <QSettings>
#include <QtTest>

class TestSettingsFuzzed : public QObject
{
    Q_OBJECT
private:
    TestStoreHome m_home;
    QTemporaryDir m_scratch;
    int m_copies = 0;

private slots:
    void saveAfterTypo_data();
    void saveAfterTypo();
    void textRoundTrip_data();
    void textRoundTrip();
};

void TestSettingsFuzzed::saveAfterTypo_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("clean"); // whether the load finds the file undamaged
    QTest::addColumn<int>("treble"); // Treble as loaded
    QTest::addColumn<QString>("com2"); // the Ports group's COM2 as read

    // A quote that never closes: QSettings would run the value to the end of the file, and with it
    // the record a save puts after it.
    QTest::newRow("unclosed quote, no record yet")
        << QByteArray("[Ports]\nCOM1=\"/dev/ttyUSB0\n") << false << 8 << QString();
    QTest::newRow("unclosed quote at the end of the record")
        << QByteArray("[ValtronaAmp%2B]\nTreble=3\nLogoLine1=\"Radio\n") << false << 3 << QString();
    QTest::newRow("unclosed quote, lines after it")
        << QByteArray("[ValtronaAmp%2B]\nRT6=\"abc\nTreble=4\n[Ports]\nCOM2=/dev/ttyS3\n") << false << 4
        << QStringLiteral("/dev/ttyS3");
    QTest::newRow("unclosed quote, no line end")
        << QByteArray("[Ports]\nCOM2=/dev/ttyS3\nCOM1=\"x") << false << 8 << QStringLiteral("/dev/ttyS3");
    // A '\' as the last character: a save's line break after it must not become a continued line,
    // which took the next group's blank line into the value and grew the file at every save.
    QTest::newRow("backslash ending the file, a key added by hand")
        << QByteArray("[Ports]\nCOM2=/dev/ttyS3\n[ValtronaAmp%2B]\nTreble=6\nNote=typed by hand \\") << true
        << 6 << QStringLiteral("/dev/ttyS3");
    QTest::newRow("backslash ending the file, another group after the record")
        << QByteArray("[ValtronaAmp%2B]\nTreble=7\n[Ports]\nCOM2=/dev/ttyS3\\") << true << 7
        << QStringLiteral("/dev/ttyS3");
    // A quote that never closes after a '\' ending a line: the line is cut at that line break, and
    // the '\' left last on it must not take in the line break a save writes after it either.
    QTest::newRow("group name ending in a backslash, then an unclosed quote")
        << QByteArray("[Ports]\nCOM2=/dev/ttyS3\n[]\\\n\"") << false << 8 << QStringLiteral("/dev/ttyS3");
    QTest::newRow("value ending in a backslash, then an unclosed quote")
        << QByteArray("[ValtronaAmp%2B]\nTreble=2\nNote=a\\\n\"b\n[Ports]\nCOM2=/dev/ttyS3\n") << false << 2
        << QStringLiteral("/dev/ttyS3");
    // A key made of the bytes of a byte-order mark, on the first line after a blank one: a save
    // must not put those bytes first in the file, where the next load takes them for a mark.
    QTest::newRow("key of a byte-order mark's bytes on the first line") << QByteArray(
        "\n\xef\xbb\xbf=\n[Ports]\nCOM2=/dev/ttyS3\n") << true << 8 << QStringLiteral("/dev/ttyS3");
    QTest::newRow("backslash and a carriage return ending the file")
        << QByteArray("[Ports]\nCOM2=/dev/ttyS3\n[ValtronaAmp%2B]\nTreble=6\nNote=a\\\r") << true << 6
        << QStringLiteral("/dev/ttyS3");
    QTest::newRow("backslash and two carriage returns")
        << QByteArray("[Ports]\nCOM2=/dev/ttyS3\n[ValtronaAmp%2B]\nNote=a\\\r\rTreble=6\n") << true << 6
        << QStringLiteral("/dev/ttyS3");
    // Not a typo: a quoted value may run over lines, and the lines after it still count.
    QTest::newRow("quote closed on a later line")
        << QByteArray("[ValtronaAmp%2B]\nRT6=\"two\nlines\"\nTreble=5\n[Ports]\nCOM2=/dev/ttyS3\n") << true
        << 5 << QStringLiteral("/dev/ttyS3");
}

void TestSettingsFuzzed::saveAfterTypo()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, clean);
    QFETCH(int, treble);
    QFETCH(QString, com2);
    SettingsStore &store = SettingsStore::instance();
    m_home.writeStore(file);

    SettingsRecord record;
    QCOMPARE(store.load(record), clean);
    QCOMPARE(int(record.Treble), treble);
    QCOMPARE(store.groupValue(QStringLiteral("Ports"), QStringLiteral("COM2")), com2);

    record.TXFrequency = 1079000;
    QVERIFY(store.save(record));
    const QByteArray saved = m_home.storeBytes();
    // What the next start reads (the store keeps what it wrote, parsed, for this process): the
    // very file saved, and nothing of it taken as damaged.
    const IniDocument fresh = IniDocument::parse(saved);
    QVERIFY(!fresh.isDamaged());
    QCOMPARE(fresh.toBytes(), saved);

    SettingsRecord again;
    QVERIFY(store.load(again));
    QCOMPARE(again.TXFrequency, 1079000);
    QCOMPARE(int(again.Treble), treble);
    QCOMPARE(store.groupValue(QStringLiteral("Ports"), QStringLiteral("COM2")), com2);
    QVERIFY(store.save(again));
    QCOMPARE(m_home.storeBytes(), saved);

    // Another INI reader finds the record too (a fresh name: QSettings caches by path).
    QVERIFY(m_scratch.isValid());
    const QString copy = m_scratch.filePath(QStringLiteral("copy-%1.ini").arg(++m_copies));
    QVERIFY(QFile::copy(m_home.storeFile(), copy));
    QSettings ini(copy, QSettings::IniFormat);
    QCOMPARE(ini.value(QStringLiteral("ValtronaAmp+/TXFrequency")).toString(), QStringLiteral("1079000"));
    QCOMPARE(ini.value(QStringLiteral("ValtronaAmp+/Treble")).toString(), QString::number(treble));
}

void TestSettingsFuzzed::textRoundTrip_data()
{
    QTest::addColumn<QString>("text");
    // U+FEFF looks like a byte-order mark to a UTF-8 decoder when it starts a piece of the value.
    const QChar mark(0xFEFF);
    QTest::newRow("mark first") << QString(mark) + QStringLiteral("Radio");
    QTest::newRow("mark alone") << QString(mark);
    QTest::newRow("mark after an escape") << QStringLiteral("\t") + mark + QStringLiteral("x");
    QTest::newRow("mark after NUL") << QString(QChar(0)) + mark;
    QTest::newRow("mark after a quote") << QStringLiteral("\"") + mark + QStringLiteral("\"");
    QTest::newRow("mark inside") << QStringLiteral("a") + mark + QStringLiteral("b");
    // Half a surrogate pair, as an escape such as \xd800 in a hand-edited file reads: it has no
    // UTF-8 of its own.
    const QChar high(0xD83D), low(0xDE00);
    QTest::newRow("lone high surrogate") << QString(high);
    QTest::newRow("lone low surrogate, then a hex digit") << QString(low) + QStringLiteral("a");
    QTest::newRow("high surrogate before an ASCII letter")
        << QStringLiteral("x") + high + QStringLiteral("y");
    QTest::newRow("two high surrogates, then a pair") << QString(high) + high + low;
    QTest::newRow("a pair between lone halves") << QString(low) + high + low + high;
}

void TestSettingsFuzzed::textRoundTrip()
{
    QFETCH(QString, text);
    SettingsStore &store = SettingsStore::instance();
    m_home.removeStore();
    SettingsRecord record = settings_table::defaults();
    record.RT6 = text;
    record.PS99 = text;
    QVERIFY(store.save(record));

    SettingsRecord loaded;
    QVERIFY(store.load(loaded));
    QCOMPARE(loaded.RT6, text);
    QCOMPARE(loaded.PS99, text);
}

QTEST_GUILESS_MAIN(TestSettingsFuzzed)
#include "tst_settings_fuzzed.moc"
