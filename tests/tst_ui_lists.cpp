// The eleven value lists: entries, their order, and which setting keeps each list's position.
#include "settings/table.h"
#include "ui/display_boxes.h"
#include "ui/value_lists.h"

#include <QSet>
#include <QtTest>

class TestUiLists : public QObject
{
    Q_OBJECT
private slots:
    void fillOrder();
    void lists_data();
    void lists();
    void entries_data();
    void entries();
    void overCurrentSteps();
    void find();
    void displayBoxes_data();
    void displayBoxes();
};

void TestUiLists::fillOrder()
{
    QStringList controls;
    for (const auto &list : value_lists::lists())
        controls << QString::fromLatin1(list.control);
    QCOMPARE(controls,
        QStringList({ "Combo4", "Combo8", "Combo5", "Combo14", "Combo9", "Combo2", "Combo3", "Combo11",
            "Combo10", "Combo12", "Combo1" }));
}

void TestUiLists::lists_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("shownByDefault");
    QTest::newRow("Combo5") << "Combo5"
                            << "SWRAlarm"
                            << "Reflected power alarm:" << 10 << ">80W";
    QTest::newRow("Combo4") << "Combo4"
                            << "AmpTempAlarm"
                            << "Amplifier temperature alarm:" << 10 << ">90degC";
    QTest::newRow("Combo8") << "Combo8"
                            << "VoltageAlarm"
                            << "PSU voltage alarm:" << 27 << ">28V";
    QTest::newRow("Combo14") << "Combo14"
                             << "CurrentAlarm"
                             << "Over-current alarm:" << 98 << "8.0A";
    QTest::newRow("Combo9") << "Combo9"
                            << "AutoFanTemp"
                            << "Fan activation temperature:" << 13 << ">40degC(Default)";
    QTest::newRow("Combo10") << "Combo10"
                             << "Treble"
                             << "Treble:" << 17 << "0.0dB(Default)";
    QTest::newRow("Combo12") << "Combo12"
                             << "Bass"
                             << "Bass:" << 17 << "0.0dB(Default)";
    QTest::newRow("Combo3") << "Combo3"
                            << "LeftGain"
                            << "LeftGain:" << 26 << "-3.0dB";
    QTest::newRow("Combo2") << "Combo2"
                            << "RightGain"
                            << "RightGain:" << 26 << "-3.0dB";
    QTest::newRow("Combo1") << "Combo1"
                            << "Threshold"
                            << "Threshold:" << 21 << "-7.50dB";
    QTest::newRow("Combo11") << "Combo11"
                             << "Compression"
                             << "Compression:" << 13 << "1:2.00(Default)";
}

void TestUiLists::lists()
{
    QFETCH(QString, control);
    QFETCH(QString, setting);
    QFETCH(QString, label);
    QFETCH(int, count);
    QFETCH(QString, shownByDefault);
    const value_lists::List *list = value_lists::find(control.toLatin1().constData());
    QVERIFY(list);
    QCOMPARE(QString::fromLatin1(settings_table::keys()[size_t(list->setting)].name), setting);
    QCOMPARE(QString::fromLatin1(list->label), label);
    QCOMPARE(list->entries.size(), count);
    QCOMPARE(QSet<QString>(list->entries.begin(), list->entries.end()).size(), count); // no repeats

    // The store default of the list's setting selects the entry a fresh store shows.
    const settings_table::Key *key = nullptr;
    for (const auto &k : settings_table::keys()) {
        if (setting == QLatin1String(k.name))
            key = &k;
    }
    QVERIFY(key);
    QCOMPARE(list->entries.value(key->defaultText.toInt()), shownByDefault);
}

void TestUiLists::entries_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("entry");
    QTest::newRow("Combo14 first") << "Combo14" << 0 << "2.0A(Default)";
    QTest::newRow("Combo14 8") << "Combo14" << 8 << "10.0A";
    QTest::newRow("Combo14 last") << "Combo14" << 97 << "99.0A";
    QTest::newRow("Combo4 first default") << "Combo4" << 1 << ">50degC(Default)";
    QTest::newRow("Combo4 second default") << "Combo4" << 6 << ">80degC(Default)";
    QTest::newRow("Combo4 off") << "Combo4" << 9 << "Alarm off";
    QTest::newRow("Combo8 last 2V step") << "Combo8" << 18 << ">60V";
    QTest::newRow("Combo8 first 5V step") << "Combo8" << 19 << ">65V";
    QTest::newRow("Combo8 last") << "Combo8" << 26 << ">99V";
    QTest::newRow("Combo9 off") << "Combo9" << 12 << "FAN Disabled";
    QTest::newRow("Combo10 first") << "Combo10" << 0 << "-8.0dB";
    QTest::newRow("Combo12 last") << "Combo12" << 16 << "+8.0dB";
    QTest::newRow("Combo3 +6") << "Combo3" << 24 << "+6.0dB";
    QTest::newRow("Combo3 +8 next") << "Combo3" << 25 << "+8.0dB";
    QTest::newRow("Combo2 0 dB") << "Combo2" << 12 << "0.0dB(Default)";
    QTest::newRow("Combo1 first") << "Combo1" << 0 << "0.0dB";
    QTest::newRow("Combo1 75uS") << "Combo1" << 8 << "-12dB(75uS)";
    QTest::newRow("Combo1 50uS") << "Combo1" << 10 << "-15dB(50uS)";
    QTest::newRow("Combo1 last") << "Combo1" << 20 << "-30.00dB";
    QTest::newRow("Combo11 last") << "Combo11" << 12 << "1:4.00";
    QTest::newRow("Combo5 last") << "Combo5" << 9 << ">99W";
}

void TestUiLists::entries()
{
    QFETCH(QString, control);
    QFETCH(int, position);
    QFETCH(QString, entry);
    const value_lists::List *list = value_lists::find(control.toLatin1().constData());
    QVERIFY(list);
    QCOMPARE(list->entries.value(position), entry);
}

void TestUiLists::overCurrentSteps()
{
    // Every position after the first is one ampere more than the one before, from 3 A.
    const QStringList &entries = value_lists::find("Combo14")->entries;
    for (int p = 1; p < entries.size(); ++p) {
        QVERIFY2(entries[p].endsWith(QLatin1String(".0A")), qPrintable(entries[p]));
        QCOMPARE(entries[p].chopped(3).toInt(), p + 2);
    }
}

void TestUiLists::find()
{
    QCOMPARE(value_lists::find("Combo6"), nullptr);
    QCOMPARE(value_lists::find(nullptr), nullptr);
    QCOMPARE(value_lists::find("Combo11"), &value_lists::lists()[7]);
}

void TestUiLists::displayBoxes_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("caption");
    // clang-format off
    QTest::newRow("1") << "Pfwd=" << "Text1" << "Output power:";
    QTest::newRow("2") << "Pref=" << "Text2" << "Reflected power:";
    QTest::newRow("3") << "Tpsu=" << "Text3" << "PSU temperature:";
    QTest::newRow("4") << "Tamp=" << "Text4" << "Amp. temperature:";
    QTest::newRow("5") << "Iamp1=" << "Text9" << "Amplifier current 1:";
    QTest::newRow("6") << "Iamp2=" << "Text13" << "Amplifier current 2:";
    QTest::newRow("7") << "Iamp3=" << "Text15" << "Amplifier current 3:";
    QTest::newRow("8") << "Iamp4=" << "Text16" << "Amplifier current 4:";
    QTest::newRow("9") << "Uamp1=" << "Text5" << "Amplifier voltage 1:";
    QTest::newRow("10") << "Uamp2=" << "Text17" << "Amplifier voltage 2:";
    QTest::newRow("11") << "Uamp3=" << "Text18" << "Amplifier voltage 3:";
    QTest::newRow("12") << "Uamp4=" << "Text19" << "Amplifier voltage 4:";
    QTest::newRow("13") << "Uptime=" << "Text12" << "Uptime (D/H/M):";
    QTest::newRow("14") << "Firmware=" << "Text14" << "Firmware version:";
    QTest::newRow("15") << "PowerLimit=" << "Text11" << "Power limit:";
    // clang-format on
}

// Each report field's box and caption, in the order of the report's fields.
void TestUiLists::displayBoxes()
{
    QFETCH(QString, key);
    QFETCH(QString, control);
    QFETCH(QString, caption);
    const size_t row = size_t(QString::fromLatin1(QTest::currentDataTag()).toInt() - 1);
    QCOMPARE(QLatin1String(report::fields()[row].key), key);
    QCOMPARE(QLatin1String(display_boxes::boxes()[row].control), control);
    QCOMPARE(QLatin1String(display_boxes::boxes()[row].caption), caption);
}

QTEST_GUILESS_MAIN(TestUiLists)
#include "tst_ui_lists.moc"
