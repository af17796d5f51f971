// The two downloads as data: the exact bytes, the progress reports and the pauses that the
// "Update amplifier" and "Update Logo text" buttons send, built from the settings record.
#include "config/scripts.h"
#include "settings/record.h"
#include "settings/table.h"
#include "support/test_env.h"

#include <QtTest>

using scripts::Script;
using scripts::Step;

Q_DECLARE_METATYPE(Script)

namespace {

// Scripts written out one step a line, so the expectations read like the wire:
//   "W 00 00"       write these bytes (hex)
//   "S text"        write the Latin-1 text
//   "P 3 text"      progress report: value, then status bar text
//   "D 600"         pause in milliseconds
Script parse(const QStringList &lines)
{
    Script script;
    for (const QString &line : lines) {
        const QString rest = line.mid(2);
        switch (line.at(0).toLatin1()) {
        case 'W':
            script.append(Step::write(QByteArray::fromHex(rest.toLatin1())));
            break;
        case 'S':
            script.append(Step::write(rest.toLatin1()));
            break;
        case 'P': {
            const int blank = rest.indexOf(' ');
            script.append(Step::progress(rest.mid(blank + 1), rest.left(blank).toInt()));
            break;
        }
        case 'D':
            script.append(Step::pause(rest.toInt()));
            break;
        default:
            qFatal("bad script line %s", qPrintable(line));
        }
    }
    return script;
}

QString show(const Step &s)
{
    switch (s.kind) {
    case Step::Write:
        return "W " + QString::fromLatin1(s.bytes.toHex(' '));
    case Step::Progress:
        return QStringLiteral("P %1 %2").arg(s.value).arg(s.text);
    case Step::Pause:
        return QStringLiteral("D %1").arg(s.ms);
    }
    return {};
}

// Compares step by step, so a failure names the first step that differs.
bool sameScript(const Script &actual, const Script &expected)
{
    const qsizetype n = std::min(actual.size(), expected.size());
    for (qsizetype i = 0; i < n; ++i) {
        if (!(actual.at(i) == expected.at(i))) {
            qWarning("step %d: got \"%s\", expected \"%s\"", int(i), qPrintable(show(actual.at(i))),
                qPrintable(show(expected.at(i))));
            return false;
        }
    }
    if (actual.size() != expected.size()) {
        qWarning("got %d steps, expected %d", int(actual.size()), int(expected.size()));
        return false;
    }
    return true;
}

QList<int> pauses(const Script &script)
{
    QList<int> out;
    for (const Step &s : script) {
        if (s.kind == Step::Pause)
            out.append(s.ms);
    }
    return out;
}

QStringList progressReports(const Script &script)
{
    QStringList out;
    for (const Step &s : script) {
        if (s.kind == Step::Progress)
            out.append(QStringLiteral("%1 %2").arg(s.value).arg(s.text));
    }
    return out;
}

Script amplifierScript(const SettingsRecord &record)
{
    const auto result = scripts::amplifier(record);
    if (const QString *error = std::get_if<QString>(&result))
        qWarning("refused: %s", qPrintable(*error));
    return std::holds_alternative<Script>(result) ? std::get<Script>(result) : Script {};
}

// The FL1 frame's bytes: from the start up to and including its 02.
QByteArray firstLogoFrame(const Script &script)
{
    const QByteArray all = scripts::bytesOf(script);
    const int end = all.indexOf(QByteArray::fromHex("0000464c32"));
    return end < 0 ? all : all.left(end);
}

const QStringList kLogoProgress = {
    "1 Setting LOGO line1... 10%",
    "3 Setting LOGO line1... 20%",
    "4 Setting LOGO line1... 30%",
    "6 Setting LOGO line1... 40%",
    "8 Setting LOGO line1... 50%",
    "10 Setting LOGO line2... 60%",
    "12 Setting LOGO line2... 70%",
    "14 Setting LOGO line2... 80%",
    "16 Setting LOGO line2... 90%",
    "18 Setting LOGO line2... 95%",
    "20 Sending store settings command... 99%",
    "0 Ready",
};

} // namespace

class TestScripts : public QObject
{
    Q_OBJECT
private slots:
    void amplifierSteps();
    void amplifierBytes_data();
    void amplifierBytes();
    void amplifierRefusesOutOfRange_data();
    void amplifierRefusesOutOfRange();
    void amplifierReadsTheRecordWhenBuilt();
    void logoSteps();
    void logoLinesAsStored_data();
    void logoLinesAsStored();
    void bytesOfJoinsWritesOnly();

private:
    TestStoreHome m_home; // nothing here should touch the store; if anything does, not the real one
};

void TestScripts::amplifierSteps()
{
    SettingsRecord record = settings_table::defaults();
    record.TXPower = 55; // 0x3B
    record.SWRAlarm = 9; // 0x0D
    record.AmpTempAlarm = 1; // 0x05
    record.VoltageAlarm = 26; // 0x1E
    record.CurrentAlarm = 97; // 0x65
    record.AutoFanTemp = 12; // 0x10
    // clang-format off
    const Script expected = parse({
        "W 00 00", "W 46 4F", "W 01", "P 3 Setting output power... 15%", "W 3B", "W 02", "D 600",
        "W 00 00", "W 46 41 53", "W 01", "P 6 Setting SWR alarm... 25%", "W 0D", "W 02", "D 600",
        "W 00 00", "W 46 41 54", "W 01", "P 9 Setting amplifier TEMP alarm... 40%", "W 05", "W 02", "D 600",
        "W 00 00", "W 46 41 55", "W 01", "P 12 Setting power supply voltage alarm... 60%",
        "W 1E", "W 02", "D 600",
        "W 00 00", "W 46 41 43", "W 01", "P 15 Setting current alarm... 75%", "W 65", "W 02", "D 600",
        "W 00 00", "W 46 41 41", "W 01", "P 18 Setting Fan activation temperature... 90%",
        "W 10", "W 02", "D 600",
        "W 00", "W 46 57", "W 01", "P 21 Sending store settings command... 100%", "W 30", "W 02", "D 600",
        "P 0 Ready",
    });
    // clang-format on
    const Script script = amplifierScript(record);
    QVERIFY(sameScript(script, expected));
    QCOMPARE(pauses(script), QList<int>(7, 600));
    // The store frame, byte for byte: one lead byte and the digit "0".
    QVERIFY(scripts::bytesOf(script).endsWith(QByteArray::fromHex("00465701 3002")));
}

void TestScripts::amplifierBytes_data()
{
    QTest::addColumn<QList<int>>("values"); // TXPower, SWRAlarm, AmpTempAlarm, VoltageAlarm, CurrentAlarm,
                                            // AutoFanTemp; empty: the store's defaults
    QTest::addColumn<QByteArray>("wire");

    const auto wire = [](const char *v) {
        const QByteArray b = QByteArray::fromHex(v);
        return QByteArray::fromHex("0000464f01") + b.mid(0, 1) + QByteArray::fromHex("02")
            + QByteArray::fromHex("000046415301") + b.mid(1, 1) + QByteArray::fromHex("02")
            + QByteArray::fromHex("000046415401") + b.mid(2, 1) + QByteArray::fromHex("02")
            + QByteArray::fromHex("000046415501") + b.mid(3, 1) + QByteArray::fromHex("02")
            + QByteArray::fromHex("000046414301") + b.mid(4, 1) + QByteArray::fromHex("02")
            + QByteArray::fromHex("000046414101") + b.mid(5, 1) + QByteArray::fromHex("02")
            + QByteArray::fromHex("004657013002");
    };
    QTest::newRow("all at position 0, slider OFF") << QList<int> { 0, 0, 0, 0, 0, 0 } << wire("040404040404");
    QTest::newRow("slider at 100%") << QList<int> { 100, 0, 0, 0, 0, 0 } << wire("680404040404");
    QTest::newRow("defaults") << QList<int> {} << wire("040b0b060a07");
    QTest::newRow("last entry of every list") << QList<int> { 100, 9, 9, 26, 97, 12 } << wire("680d0d1e6510");
    QTest::newRow("byte range ends") << QList<int> { 251, -4, 0, 251, -4, 1 } << wire("ff0004ff0005");
}

void TestScripts::amplifierBytes()
{
    QFETCH(QList<int>, values);
    QFETCH(QByteArray, wire);
    SettingsRecord record = settings_table::defaults();
    if (!values.isEmpty()) {
        record.TXPower = qint16(values[0]);
        record.SWRAlarm = qint16(values[1]);
        record.AmpTempAlarm = qint16(values[2]);
        record.VoltageAlarm = qint16(values[3]);
        record.CurrentAlarm = qint16(values[4]);
        record.AutoFanTemp = qint16(values[5]);
    }
    QCOMPARE(scripts::bytesOf(amplifierScript(record)).toHex(' '), wire.toHex(' '));
}

void TestScripts::amplifierRefusesOutOfRange_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("expected"); // empty: the text only has to name the key and the value

    QTest::newRow("current alarm 300")
        << "CurrentAlarm" << 300
        << "Not sent: the stored Over-current alarm setting (CurrentAlarm = 300) "
           "is out of range";
    QTest::newRow("power one past 255") << "TXPower" << 252 << "";
    QTest::newRow("SWR below 0") << "SWRAlarm" << -5 << "";
    QTest::newRow("temperature at the 16-bit end") << "AmpTempAlarm" << 32767 << "";
    QTest::newRow("voltage at the 16-bit start") << "VoltageAlarm" << -32768 << "";
    QTest::newRow("fan, last setting checked") << "AutoFanTemp" << 1000 << "";
}

void TestScripts::amplifierRefusesOutOfRange()
{
    QFETCH(QString, key);
    QFETCH(int, value);
    QFETCH(QString, expected);
    SettingsRecord record = settings_table::defaults();
    qint16 *field = key == "TXPower" ? &record.TXPower
        : key == "SWRAlarm"          ? &record.SWRAlarm
        : key == "AmpTempAlarm"      ? &record.AmpTempAlarm
        : key == "VoltageAlarm"      ? &record.VoltageAlarm
        : key == "CurrentAlarm"      ? &record.CurrentAlarm
                                     : &record.AutoFanTemp;
    *field = qint16(value);

    const auto result = scripts::amplifier(record);
    QVERIFY2(std::holds_alternative<QString>(result), "a damaged value must refuse the whole download");
    const QString text = std::get<QString>(result);
    if (!expected.isEmpty())
        QCOMPARE(text, expected);
    QVERIFY2(text.contains(QStringLiteral("(%1 = %2)").arg(key).arg(value)), qPrintable(text));
    QVERIFY(text.startsWith("Not sent: "));
}

void TestScripts::amplifierReadsTheRecordWhenBuilt()
{
    // A second download with nothing changed sends the same bytes; a change shows in the next one only.
    SettingsRecord record = settings_table::defaults();
    const QByteArray first = scripts::bytesOf(amplifierScript(record));
    QCOMPARE(scripts::bytesOf(amplifierScript(record)), first);
    record.TXPower = 100;
    const QByteArray changed = scripts::bytesOf(amplifierScript(record));
    QCOMPARE(changed.at(5), char(0x68));
    QCOMPARE(first.at(5), char(0x04));
    QCOMPARE(changed.mid(7), first.mid(7));
}

void TestScripts::logoSteps()
{
    SettingsRecord record = settings_table::defaults();
    QCOMPARE(record.LogoLine1, QStringLiteral("ZTK Electronics "));
    // clang-format off
    const Script expected = parse({
        "W 00 00", "W 46 4C 31", "W 01", "P 1 Setting LOGO line1... 10%", "D 1000",
        "S ZTK ", "P 3 Setting LOGO line1... 20%", "D 1000",
        "S Elec", "P 4 Setting LOGO line1... 30%", "D 1000",
        "S tron", "P 6 Setting LOGO line1... 40%", "D 1000",
        "S ics ", "P 8 Setting LOGO line1... 50%", "D 1000",
        "W 02", "D 1000",
        "W 00 00", "W 46 4C 32", "W 01", "D 1000",
        "S <<VA", "P 10 Setting LOGO line2... 60%", "D 1000",
        "S LTRO", "P 12 Setting LOGO line2... 70%", "D 1000",
        "S NA F", "P 14 Setting LOGO line2... 80%", "D 1000",
        "S M+>>", "P 16 Setting LOGO line2... 90%", "D 1000",
        "P 18 Setting LOGO line2... 95%", "W 02", "D 1000",
        "W 00 00", "W 46 4C 53", "W 01", "P 20 Sending store settings command... 99%",
        "W 30", "W 02", "D 1000",
        "P 0 Ready",
    });
    // clang-format on
    const Script script = scripts::logo(record);
    QVERIFY(sameScript(script, expected));
    QCOMPARE(pauses(script), QList<int>(13, 1000));
    QCOMPARE(progressReports(script), kLogoProgress);
}

void TestScripts::logoLinesAsStored_data()
{
    QTest::addColumn<QString>("line1");
    QTest::addColumn<QStringList>("pieces"); // the writes between FL1's 01 and its 02

    QTest::newRow("three characters, three bytes") << "abc" << QStringList { "abc" };
    QTest::newRow("twenty characters cut after 16")
        << "ABCDEFGHIJKLMNOPQRST" << QStringList { "ABCD", "EFGH", "IJKL", "MNOP" };
    QTest::newRow("five characters") << "abcde" << QStringList { "abcd", "e" };
    QTest::newRow("twelve characters, last piece absent")
        << "abcdefghijkl" << QStringList { "abcd", "efgh", "ijkl" };
    QTest::newRow("empty line, no character bytes") << "" << QStringList {};
    QTest::newRow("Latin-1 single bytes, others ?") << QString::fromUtf8(
        "\u00e9t\u00e9 \u20ac1") << QStringList { QString::fromUtf8("\u00e9t\u00e9 "), "?1" };
}

void TestScripts::logoLinesAsStored()
{
    QFETCH(QString, line1);
    QFETCH(QStringList, pieces);
    SettingsRecord record = settings_table::defaults();
    record.LogoLine1 = line1;
    const Script script = scripts::logo(record);

    QByteArray expectedFrame = QByteArray::fromHex("0000464c3101");
    QStringList writtenPieces;
    for (const QString &p : pieces)
        expectedFrame += p.toLatin1();
    expectedFrame += '\x02';
    QCOMPARE(firstLogoFrame(script).toHex(' '), expectedFrame.toHex(' '));

    // Each piece is one write, between FL1's 01 (the third write) and its 02.
    QList<QByteArray> writes;
    for (const Step &s : script) {
        if (s.kind == Step::Write)
            writes.append(s.bytes);
    }
    for (qsizetype i = 3; i < writes.size() && writes.at(i) != QByteArray("\x02"); ++i)
        writtenPieces.append(QString::fromLatin1(writes.at(i)));
    QCOMPARE(writtenPieces, pieces);

    // Pacing and progress do not depend on the line's length.
    QCOMPARE(pauses(script), QList<int>(13, 1000));
    QCOMPARE(progressReports(script), kLogoProgress);
    // Line 2 and the store frame are untouched.
    QVERIFY(scripts::bytesOf(script).endsWith(QByteArray::fromHex("0000464c3201") + "<<VALTRONA FM+>>"
        + QByteArray::fromHex("02 0000464c5301 3002")));
}

void TestScripts::bytesOfJoinsWritesOnly()
{
    const Script script = parse({ "P 1 one", "W 00 41", "D 5", "S BC", "P 0 Ready" });
    QCOMPARE(scripts::bytesOf(script), QByteArray("\0ABC", 4));
    QCOMPARE(scripts::bytesOf(Script {}), QByteArray());
}

QTEST_GUILESS_MAIN(TestScripts)
#include "tst_config_scripts.moc"
