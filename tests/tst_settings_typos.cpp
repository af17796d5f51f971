// Store files with the typos a person makes by hand, as the fuzzing of the store's load turned
// them up: whatever the file held, a save must leave a file from which the next load gets the
// record back, and saving again must not change the file.
#include "settings/record.h"
#include "settings/store.h"
#include "settings/table.h"
#include "support/test_env.h"

#include <QSettings>
#include <QtTest>

class TestSettingsTypos : public QObject
{
    Q_OBJECT
private:
    TestStoreHome m_home;
    QTemporaryDir m_scratch;
    int m_copies = 0;

private slots:
    void saveAfterTypo_data();
    void saveAfterTypo();
};

void TestSettingsTypos::saveAfterTypo_data()
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
    // Not a typo: a quoted value may run over lines, and the lines after it still count.
    QTest::newRow("quote closed on a later line")
        << QByteArray("[ValtronaAmp%2B]\nRT6=\"two\nlines\"\nTreble=5\n[Ports]\nCOM2=/dev/ttyS3\n") << true
        << 5 << QStringLiteral("/dev/ttyS3");
}

void TestSettingsTypos::saveAfterTypo()
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

QTEST_GUILESS_MAIN(TestSettingsTypos)
#include "tst_settings_typos.moc"
