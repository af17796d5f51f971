// The key table, the defaults and the text conversions of the settings record, without any file.
#include "settings/record.h"
#include "settings/table.h"

#include <QSet>
#include <QtTest>

using settings_table::FieldType;

namespace {

int indexOf(const char *name)
{
    const auto &keys = settings_table::keys();
    for (size_t i = 0; i < keys.size(); ++i) {
        if (qstrcmp(keys[i].name, name) == 0)
            return int(i);
    }
    return -1;
}

} // namespace

class TestSettingsTable : public QObject
{
    Q_OBJECT
private slots:
    void recordStartsEmpty();
    void tableShape();
    void saveOrder_data();
    void saveOrder();
    void defaults_data();
    void defaults();
    void conversions_data();
    void conversions();
};

void TestSettingsTable::recordStartsEmpty()
{
    // Nothing in this program loads the store, so the process-wide record is still blank.
    const SettingsRecord &r = settingsRecord();
    QCOMPARE(r.Treble, qint16(0));
    QCOMPARE(r.COMSelected, qint16(0));
    QCOMPARE(r.TXFrequency, qint32(0));
    QCOMPARE(r.AutoRead, false);
    QVERIFY(r.LogoLine1.isEmpty());
    QCOMPARE(&settingsRecord(), &r);
}

void TestSettingsTable::tableShape()
{
    const auto &keys = settings_table::keys();
    QCOMPARE(int(keys.size()), 265);
    QSet<QString> names;
    int perType[4] = { 0, 0, 0, 0 };
    for (const auto &key : keys) {
        names.insert(QString::fromLatin1(key.name));
        ++perType[int(key.type)];
        if (qstrcmp(key.name, "PortSelected") == 0)
            QCOMPARE(key.legacyReadKey, "BaseAddress");
        else
            QVERIFY2(key.legacyReadKey == nullptr, key.name);
    }
    QCOMPARE(names.size(), 265);
    // 144 16-bit integers, the one 32-bit TXFrequency, 8 booleans, 112 texts.
    QCOMPARE(perType[int(FieldType::Int16)], 144);
    QCOMPARE(perType[int(FieldType::Int32)], 1);
    QCOMPARE(keys[size_t(indexOf("TXFrequency"))].type, FieldType::Int32);
    QCOMPARE(perType[int(FieldType::Bool)], 8);
    QCOMPARE(perType[int(FieldType::Text)], 112);
}

void TestSettingsTable::saveOrder_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("position");
    QTest::newRow("first") << "Treble" << 0;
    QTest::newRow("logo") << "LogoLine1" << 11;
    QTest::newRow("legacy port field") << "PortSelected" << 17;
    QTest::newRow("port") << "COMSelected" << 18;
    QTest::newRow("after TXPower") << "TXFrequency" << 27;
    QTest::newRow("PS") << "PS" << 30;
    QTest::newRow("PS99") << "PS99" << 129;
    QTest::newRow("PSDelay100") << "PSDelay100" << 230;
    QTest::newRow("TrayAtStart") << "TrayAtStart" << 238;
    QTest::newRow("RT6") << "RT6" << 247;
    QTest::newRow("last") << "GetMP3Tag" << 264;
}

void TestSettingsTable::saveOrder()
{
    QFETCH(QString, name);
    QFETCH(int, position);
    QCOMPARE(indexOf(name.toLatin1().constData()), position);
}

void TestSettingsTable::defaults_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::newRow("Treble") << "Treble"
                            << "8";
    QTest::newRow("CurrentAlarm") << "CurrentAlarm"
                                  << "6";
    QTest::newRow("AmpTempAlarm") << "AmpTempAlarm"
                                  << "7";
    QTest::newRow("Threshold") << "Threshold"
                               << "5";
    QTest::newRow("COMSelected") << "COMSelected"
                                 << "1";
    QTest::newRow("PortSelected") << "PortSelected"
                                  << "2";
    QTest::newRow("ProgramReference") << "ProgramReference"
                                      << "128";
    QTest::newRow("TXFrequency") << "TXFrequency"
                                 << "0";
    QTest::newRow("PSDelay3") << "PSDelay3"
                              << "2";
    QTest::newRow("PSDelay4") << "PSDelay4"
                              << "0";
    QTest::newRow("AF2 like AF1") << "AF2"
                                  << "100";
    QTest::newRow("AF7") << "AF7"
                         << "106";
    QTest::newRow("AutoRead") << "AutoRead"
                              << "True";
    QTest::newRow("TransmitAF") << "TransmitAF"
                                << "False";
    QTest::newRow("TrayAtStart") << "TrayAtStart"
                                 << "True";
    QTest::newRow("LogoLine1 trailing blank") << "LogoLine1"
                                              << "ZTK Electronics ";
    QTest::newRow("LogoLine2") << "LogoLine2"
                               << "<<VALTRONA FM+>>";
    QTest::newRow("PS5") << "PS5"
                         << "*ORNIVA*";
    QTest::newRow("PS15") << "PS15"
                          << "**V1.0**";
    QTest::newRow("PS16 eight blanks") << "PS16"
                                       << "        ";
    QTest::newRow("PS99 eight blanks") << "PS99"
                                       << "        ";
    QTest::newRow("AutoPSPath") << "AutoPSPath"
                                << "c:\\program files\\Winamp\\SongName.txt";
    QTest::newRow("WinAmpVersion") << "WinAmpVersion"
                                   << "Studio";
}

void TestSettingsTable::defaults()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    const int index = indexOf(name.toLatin1().constData());
    QVERIFY(index >= 0);
    QCOMPARE(settings_table::keys()[size_t(index)].defaultText, text);
    QCOMPARE(settings_table::fieldText(settings_table::defaults(), index), text);
}

void TestSettingsTable::conversions_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("loaded");
    QTest::addColumn<bool>("converted");
    QTest::newRow("bool False") << "AutoRead"
                                << "False"
                                << "False" << true;
    QTest::newRow("bool any case") << "AutoRead"
                                   << "fALSe"
                                   << "False" << true;
    QTest::newRow("bool 0") << "AutoRead"
                            << "0"
                            << "False" << true;
    QTest::newRow("bool -1") << "TransmitAF"
                             << "-1"
                             << "True" << true;
    QTest::newRow("bool TRUE") << "TransmitAF"
                               << "TRUE"
                               << "True" << true;
    QTest::newRow("bool big number") << "TransmitAF"
                                     << "123456789012345678901234"
                                     << "True" << true;
    QTest::newRow("bool 000") << "AutoRead"
                              << "000"
                              << "False" << true;
    QTest::newRow("bool empty, default false") << "TransmitAF"
                                               << ""
                                               << "False" << false;
    QTest::newRow("bool empty, default true") << "AutoRead"
                                              << ""
                                              << "True" << false;
    QTest::newRow("bool word") << "TransmitAF"
                               << "yes"
                               << "False" << false;
    QTest::newRow("list position -1") << "CurrentAlarm"
                                      << "-1"
                                      << "-1" << true;
    QTest::newRow("16-bit lowest") << "Bass"
                                   << "-32768"
                                   << "-32768" << true;
    QTest::newRow("16-bit highest") << "Bass"
                                    << "32767"
                                    << "32767" << true;
    QTest::newRow("16-bit beyond") << "Treble"
                                   << "70000"
                                   << "8" << false;
    QTest::newRow("16-bit just beyond") << "Treble"
                                        << "32768"
                                        << "8" << false;
    QTest::newRow("letters") << "Treble"
                             << "abc"
                             << "8" << false;
    QTest::newRow("fraction") << "Treble"
                              << "8.0"
                              << "8" << false;
    QTest::newRow("empty number") << "COMSelected"
                                  << ""
                                  << "1" << false;
    QTest::newRow("32-bit beyond 16") << "TXFrequency"
                                      << "98500000"
                                      << "98500000" << true;
    QTest::newRow("32-bit beyond 32") << "TXFrequency"
                                      << "3000000000"
                                      << "0" << false;
    QTest::newRow("text kept") << "RT6"
                               << " a, \"b\" "
                               << " a, \"b\" " << true;
    QTest::newRow("empty text") << "LogoLine1"
                                << ""
                                << "" << true;
}

void TestSettingsTable::conversions()
{
    QFETCH(QString, name);
    QFETCH(QString, stored);
    QFETCH(QString, loaded);
    QFETCH(bool, converted);
    const int index = indexOf(name.toLatin1().constData());
    QVERIFY(index >= 0);
    // Start from a value that is neither the default nor the expected one.
    SettingsRecord record = settings_table::defaults();
    record.Treble = 3;
    record.Bass = 3;
    record.COMSelected = 5;
    record.CurrentAlarm = 2;
    record.TXFrequency = 77;
    record.AutoRead = false;
    record.TransmitAF = true;
    record.RT6 = "previous";
    record.LogoLine1 = "previous";
    QCOMPARE(settings_table::setFieldFromText(record, index, stored), converted);
    QCOMPARE(settings_table::fieldText(record, index), loaded);
}

QTEST_GUILESS_MAIN(TestSettingsTable)
#include "tst_settings_table.moc"
