// The store file: where it lives, what a save writes, what a load makes of stored and hand-typed
// text, what QSettings reads back, and what happens to the rest of the file.
#include "settings/record.h"
#include "settings/store.h"
#include "settings/table.h"
#include "support/test_env.h"

#include <QRandomGenerator>
#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

const QString kGroup = QStringLiteral("ValtronaAmp+");

int indexOf(const QString &name)
{
    const auto &keys = settings_table::keys();
    for (size_t i = 0; i < keys.size(); ++i) {
        if (name == QLatin1String(keys[i].name))
            return int(i);
    }
    return -1;
}

QString text(const SettingsRecord &record, const QString &name)
{
    return settings_table::fieldText(record, indexOf(name));
}

// A record whose every field differs from its default, to see that a load really sets each one.
SettingsRecord scrambled()
{
    SettingsRecord r;
    const auto &keys = settings_table::keys();
    for (int i = 0; i < int(keys.size()); ++i) {
        switch (keys[size_t(i)].type) {
        case settings_table::FieldType::Int16:
        case settings_table::FieldType::Int32:
            settings_table::setFieldFromText(r, i, QStringLiteral("-7"));
            break;
        case settings_table::FieldType::Bool:
            settings_table::setFieldFromText(
                r, i, keys[size_t(i)].defaultText == "True" ? u"False" : u"True");
            break;
        case settings_table::FieldType::Text:
            settings_table::setFieldFromText(r, i, QStringLiteral("scrambled"));
            break;
        }
    }
    return r;
}

} // namespace

class TestSettingsStore : public QObject
{
    Q_OBJECT
private:
    // QSettings on a copy of the store at a path this process has never opened: QSettings objects
    // on one path share a cache within a process, which would hide what is really on disk.
    std::unique_ptr<QSettings> freshQSettings()
    {
        const QString copy = m_scratch.path() + QStringLiteral("/copy%1.ini").arg(++m_copies);
        if (!QFile::copy(m_home.storeFile(), copy))
            return nullptr;
        return std::make_unique<QSettings>(copy, QSettings::IniFormat);
    }
    SettingsStore &store() { return SettingsStore::instance(); }

    TestStoreHome m_home;
    QTemporaryDir m_scratch;
    int m_copies = 0;

private slots:
    void init() { m_home.removeStore(); }

    void filePathFollowsEnvironment();
    void emptyStoreLoadsDefaults();
    void firstSaveWritesEveryKey();
    void storedTexts_data();
    void storedTexts();
    void listPositionWrittenBack();
    void textRoundTrip_data();
    void textRoundTrip();
    void loadSeesEachSave();
    void portSelectedRule_data();
    void portSelectedRule();
    void otherGroupsSurvive();
    void addMissingGroupKeys();
    void handEdits_data();
    void handEdits();
    void staleLockIsIgnored();
    void damagedFile_data();
    void damagedFile();
    void unreadableStore();
};

void TestSettingsStore::filePathFollowsEnvironment()
{
    QCOMPARE(store().filePath(), m_home.storeFile());
    QCOMPARE(store().filePath(),
        QSettings(QSettings::IniFormat, QSettings::UserScope, "ZTK Electronics", "ValtronaAmp+").fileName());
    {
        TestStoreHome other;
        QCOMPARE(store().filePath(), other.storeFile());
        QVERIFY(other.storeFile() != m_home.storeFile());
    }
    QCOMPARE(store().filePath(), m_home.storeFile());
}

void TestSettingsStore::emptyStoreLoadsDefaults()
{
    QSignalSpy problems(&store(), &SettingsStore::loadProblem);
    SettingsRecord record = scrambled();
    QVERIFY(store().load(record));
    const SettingsRecord defaults = settings_table::defaults();
    for (int i = 0; i < int(settings_table::keys().size()); ++i)
        QCOMPARE(settings_table::fieldText(record, i), settings_table::fieldText(defaults, i));
    QCOMPARE(problems.count(), 0);
    QVERIFY(!QFileInfo::exists(m_home.storeFile())); // reading creates nothing
}

void TestSettingsStore::firstSaveWritesEveryKey()
{
    QVERIFY(LoadSettings());
    QVERIFY(SaveSettings());

    const QByteArray bytes = m_home.storeBytes();
    QVERIFY(bytes.startsWith("[ValtronaAmp%2B]\n"));
    // The keys stand in the file in save order.
    QStringList order;
    for (const QByteArray &line : bytes.split('\n')) {
        if (line.contains('='))
            order << QString::fromUtf8(line.left(line.indexOf('=')));
    }
    QCOMPARE(order.size(), 265);
    for (int i = 0; i < order.size(); ++i)
        QCOMPARE(order[i], QLatin1String(settings_table::keys()[size_t(i)].name));

    auto s = freshQSettings();
    QVERIFY(s);
    QCOMPARE(s->status(), QSettings::NoError);
    QCOMPARE(s->childGroups(), QStringList { kGroup });
    s->beginGroup(kGroup);
    QCOMPARE(s->childKeys().size(), 265);
    for (const auto &key : settings_table::keys())
        QCOMPARE(s->value(key.name).toString(), key.defaultText);
    QCOMPARE(s->value("LogoLine1").toString(), QStringLiteral("ZTK Electronics "));
    QCOMPARE(s->value("AutoRead").toString(), QStringLiteral("True"));
    for (int n = 16; n <= 99; ++n)
        QCOMPARE(s->value(QStringLiteral("PS%1").arg(n)).toString(), QString(8, QLatin1Char(' ')));
}

void TestSettingsStore::storedTexts_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("loaded");
    QTest::newRow("False") << QByteArray("AutoRead=False") << "AutoRead"
                           << "False";
    QTest::newRow("false") << QByteArray("AutoRead=false") << "AutoRead"
                           << "False";
    QTest::newRow("0") << QByteArray("AutoRead=0") << "AutoRead"
                       << "False";
    QTest::newRow("-1") << QByteArray("TransmitAF=-1") << "TransmitAF"
                        << "True";
    QTest::newRow("empty bool") << QByteArray("AutoRead=") << "AutoRead"
                                << "True";
    QTest::newRow("list -1") << QByteArray("CurrentAlarm=-1") << "CurrentAlarm"
                             << "-1";
    QTest::newRow("70000 in 16 bits") << QByteArray("Treble=70000") << "Treble"
                                      << "8";
    QTest::newRow("letters") << QByteArray("Bass=eight") << "Bass"
                             << "8";
    QTest::newRow("empty number") << QByteArray("COMSelected=") << "COMSelected"
                                  << "1";
    QTest::newRow("TXFrequency") << QByteArray("TXFrequency=107900000") << "TXFrequency"
                                 << "107900000";
    QTest::newRow("RT6") << QByteArray("RT6=Some text") << "RT6"
                         << "Some text";
    QTest::newRow("AFNum") << QByteArray("AFNum=4") << "AFNum"
                           << "4";
    QTest::newRow("key case matters") << QByteArray("treble=3") << "Treble"
                                      << "8";
}

void TestSettingsStore::storedTexts()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, name);
    QFETCH(QString, loaded);
    m_home.writeStore("[ValtronaAmp%2B]\n" + line + "\n");
    SettingsRecord record = scrambled();
    QVERIFY(store().load(record));
    QCOMPARE(text(record, name), loaded);
}

void TestSettingsStore::listPositionWrittenBack()
{
    m_home.writeStore("[ValtronaAmp%2B]\nCurrentAlarm=-1\nTXFrequency=3000000\n");
    QVERIFY(LoadSettings());
    QCOMPARE(settingsRecord().CurrentAlarm, qint16(-1));
    QVERIFY(SaveSettings());
    QVERIFY(m_home.storeBytes().contains("\nCurrentAlarm=-1\n"));
    QVERIFY(m_home.storeBytes().contains("\nTXFrequency=3000000\n"));
    settingsRecord() = scrambled();
    QVERIFY(LoadSettings());
    QCOMPARE(settingsRecord().CurrentAlarm, qint16(-1));
    QCOMPARE(settingsRecord().TXFrequency, qint32(3000000));
}

void TestSettingsStore::textRoundTrip_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("empty") << QString();
    QTest::newRow("blanks at both ends") << QStringLiteral("  Logo line  ");
    QTest::newRow("only blanks") << QStringLiteral("        ");
    QTest::newRow("commas") << QStringLiteral("a,b, c");
    QTest::newRow("quotes") << QStringLiteral("say \"hi\" \"");
    QTest::newRow("windows path") << QStringLiteral("c:\\program files\\Winamp\\SongName.txt");
    QTest::newRow("ends in backslash") << QStringLiteral("folder\\");
    QTest::newRow("leading @") << QStringLiteral("@foo");
    QTest::newRow("leading @@") << QStringLiteral("@@foo");
    QTest::newRow("looks like a byte array") << QStringLiteral("@ByteArray(x)");
    QTest::newRow("looks invalid") << QStringLiteral("@Invalid()");
    QTest::newRow("percent") << QStringLiteral("100% %41");
    QTest::newRow("semicolon") << QStringLiteral("; not a comment");
    QTest::newRow("hash") << QStringLiteral("# not a comment");
    QTest::newRow("equals") << QStringLiteral("=a=b");
    QTest::newRow("section look") << QStringLiteral("[ValtronaAmp%2B]");
    QTest::newRow("newlines") << QStringLiteral("line 1\nline 2\r\nline 3\n");
    QTest::newRow("tab and bell") << QStringLiteral("\ta\a");
    QTest::newRow("NUL before hex digit") << QString::fromUtf8("a\0"
                                                               "1b",
        4);
    QTest::newRow("control before hex digit") << QString::fromUtf8("\x01"
                                                                   "f\x1f"
                                                                   "0",
        4);
    QTest::newRow("non-ASCII") << QString::fromUtf8("Grüße, Ωμέγα – 日本 😀");
    QTest::newRow("non-ASCII after NUL") << QString::fromUtf8("\0é", 3);
}

void TestSettingsStore::textRoundTrip()
{
    QFETCH(QString, value);
    SettingsRecord record = settings_table::defaults();
    record.RT6 = value;
    record.LogoLine1 = value;
    QVERIFY(store().save(record));

    SettingsRecord loaded = scrambled();
    QVERIFY(store().load(loaded));
    QCOMPARE(loaded.RT6, value);
    QCOMPARE(loaded.LogoLine1, value);
    QCOMPARE(loaded.RT5, settings_table::defaults().RT5);

    auto s = freshQSettings();
    QVERIFY(s);
    QCOMPARE(s->status(), QSettings::NoError);
    s->beginGroup(kGroup);
    QCOMPARE(s->childKeys().size(), 265);
    QCOMPARE(s->value("RT6").toString(), value);
    QCOMPARE(s->value("LogoLine1").toString(), value);
    QCOMPARE(s->value("RT5").toString(), settings_table::defaults().RT5);
}

void TestSettingsStore::loadSeesEachSave()
{
    // Texts of one length saved in quick succession: a reader that trusts file size and time
    // would hand back an older one.
    SettingsRecord record = settings_table::defaults();
    for (const char *value : { "aaaa", "bbbb", "cccc", "dddd" }) {
        record.RT6 = QLatin1String(value);
        QVERIFY(store().save(record));
        SettingsRecord loaded;
        QVERIFY(store().load(loaded));
        QCOMPARE(loaded.RT6, QLatin1String(value));
    }
}

void TestSettingsStore::portSelectedRule_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<int>("loaded");
    QTest::addColumn<bool>("keepsBaseAddress");
    QTest::newRow("neither") << QByteArray("Treble=1\n") << 2 << false;
    QTest::newRow("BaseAddress only") << QByteArray("BaseAddress=768\n") << 768 << true;
    QTest::newRow("PortSelected wins") << QByteArray("BaseAddress=768\nPortSelected=5\n") << 5 << true;
    QTest::newRow("PortSelected only") << QByteArray("PortSelected=4\n") << 4 << false;
}

void TestSettingsStore::portSelectedRule()
{
    QFETCH(QByteArray, lines);
    QFETCH(int, loaded);
    QFETCH(bool, keepsBaseAddress);
    m_home.writeStore("[ValtronaAmp%2B]\n" + lines);
    SettingsRecord record;
    QVERIFY(store().load(record));
    QCOMPARE(int(record.PortSelected), loaded);

    record.PortSelected = 9;
    QVERIFY(store().save(record));
    auto s = freshQSettings();
    QVERIFY(s);
    s->beginGroup(kGroup);
    QCOMPARE(s->value("PortSelected").toString(), QStringLiteral("9"));
    // BaseAddress is never written; one the file already had is left where it was.
    QCOMPARE(s->contains("BaseAddress"), keepsBaseAddress);
    if (keepsBaseAddress)
        QCOMPARE(s->value("BaseAddress").toString(), QStringLiteral("768"));
    QVERIFY(store().load(record));
    QCOMPARE(int(record.PortSelected), 9);
}

void TestSettingsStore::otherGroupsSurvive()
{
    m_home.writeStore("; written by hand\n"
                      "[Ports]\nCOM1=/dev/pts/7\nCOM2 = \"/dev/serial/by-id/usb-a, b\"\n"
                      "[ValtronaAmp%2B]\nTreble=1\nMyNote=keep me\n"
                      "[Extra]\nx=1 ; trailing remark\n");
    SettingsRecord record;
    QVERIFY(store().load(record));
    record.Treble = 4;
    QVERIFY(store().save(record));
    QVERIFY(store().save(record));

    const QByteArray bytes = m_home.storeBytes();
    QVERIFY(bytes.contains("; written by hand\n"));
    QVERIFY(bytes.contains("x=1 ; trailing remark\n"));
    QCOMPARE(store().groupValue("Ports", "COM1"), QStringLiteral("/dev/pts/7"));
    QCOMPARE(store().groupValue("Ports", "COM2"), QStringLiteral("/dev/serial/by-id/usb-a, b"));
    QCOMPARE(store().groupValue("Ports", "COM3", "none"), QStringLiteral("none"));
    QCOMPARE(store().groupValue(kGroup, "MyNote"), QStringLiteral("keep me"));

    auto s = freshQSettings();
    QVERIFY(s);
    QCOMPARE(s->status(), QSettings::NoError);
    QCOMPARE(s->value("Ports/COM1").toString(), QStringLiteral("/dev/pts/7"));
    QCOMPARE(s->value("Ports/COM2").toString(), QStringLiteral("/dev/serial/by-id/usb-a, b"));
    QCOMPARE(s->value("Extra/x").toString(), QStringLiteral("1"));
    QCOMPARE(s->value("ValtronaAmp+/Treble").toString(), QStringLiteral("4"));
    QCOMPARE(s->value("ValtronaAmp+/MyNote").toString(), QStringLiteral("keep me"));
    s->beginGroup(kGroup);
    QCOMPARE(s->childKeys().size(), 266);
}

void TestSettingsStore::addMissingGroupKeys()
{
    SettingsRecord record = settings_table::defaults();
    record.LogoLine2 = "kept as saved";
    QVERIFY(store().save(record));
    m_home.writeStore(m_home.storeBytes() + "\n[Ports]\nCOM1=/dev/pts/3\n");

    QVERIFY(store().addMissingGroupKeys("Ports", { { "COM1", "/dev/ttyS0" }, { "COM2", "/dev/ttyS1" } }));
    QCOMPARE(store().groupValue("Ports", "COM1"), QStringLiteral("/dev/pts/3"));
    QCOMPARE(store().groupValue("Ports", "COM2"), QStringLiteral("/dev/ttyS1"));
    SettingsRecord loaded;
    QVERIFY(store().load(loaded));
    QCOMPARE(loaded.LogoLine2, QStringLiteral("kept as saved"));

    // Nothing missing: the file is not rewritten at all.
    const QFileInfo before(m_home.storeFile());
    const QByteArray bytes = m_home.storeBytes();
    QVERIFY(store().addMissingGroupKeys("Ports", { { "COM2", "/dev/other" } }));
    QCOMPARE(m_home.storeBytes(), bytes);
    QCOMPARE(QFileInfo(m_home.storeFile()).lastModified(), before.lastModified());
}

void TestSettingsStore::handEdits_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("loaded");
    QTest::newRow("group name unescaped") << QByteArray("[ValtronaAmp+]\nTreble=2\n") << "Treble"
                                          << "2";
    QTest::newRow("blanks around") << QByteArray("[ValtronaAmp%2B]\n  Bass =  11  \n") << "Bass"
                                   << "11";
    QTest::newRow("unquoted text trimmed") << QByteArray("[ValtronaAmp%2B]\nRT=  Hello  \n") << "RT"
                                           << "Hello";
    QTest::newRow("unquoted comma") << QByteArray("[ValtronaAmp%2B]\nRT=Hello, world\n") << "RT"
                                    << "Hello, world";
    QTest::newRow("comment after value") << QByteArray("[ValtronaAmp%2B]\nRT=a ; tail\n") << "RT"
                                         << "a";
    QTest::newRow("typed windows path")
        << QByteArray("[ValtronaAmp%2B]\nAutoPSPath=c:\\program files\\x.txt\n") << "AutoPSPath"
        << "c:\\program files\\x.txt";
    QTest::newRow("bool any case") << QByteArray("[ValtronaAmp%2B]\nTrayAtStart=FALSE\n") << "TrayAtStart"
                                   << "False";
    QTest::newRow("last of repeated key") << QByteArray("[ValtronaAmp%2B]\nTreble=1\nTreble=3\n") << "Treble"
                                          << "3";
    QTest::newRow("group repeated") << QByteArray(
        "[ValtronaAmp%2B]\nTreble=1\n[Ports]\n[ValtronaAmp%2B]\nBass=2\n")
                                    << "Bass"
                                    << "2";
    QTest::newRow("CRLF") << QByteArray("[ValtronaAmp%2B]\r\nTreble=6\r\nBass=5\r\n") << "Treble"
                          << "6";
    QTest::newRow("byte-order mark") << QByteArray("\xef\xbb\xbf[ValtronaAmp%2B]\nTreble=4\n") << "Treble"
                                     << "4";
    QTest::newRow("other group only") << QByteArray("[General]\nTreble=4\n[Other]\nTreble=5\n") << "Treble"
                                      << "8";
}

void TestSettingsStore::handEdits()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, name);
    QFETCH(QString, loaded);
    m_home.writeStore(file);
    QSignalSpy problems(&store(), &SettingsStore::loadProblem);
    SettingsRecord record = scrambled();
    QVERIFY(store().load(record));
    QCOMPARE(text(record, name), loaded);
    QCOMPARE(problems.count(), 0);

    // A save makes the hand-typed value canonical; a second load still gives the same.
    QVERIFY(store().save(record));
    SettingsRecord again;
    QVERIFY(store().load(again));
    QCOMPARE(text(again, name), loaded);
    auto s = freshQSettings();
    QVERIFY(s);
    QCOMPARE(s->value(kGroup + '/' + name).toString(), loaded);
}

void TestSettingsStore::staleLockIsIgnored()
{
    // A crash while QSettings held its lock leaves an empty "<file>.lock"; the store never waits on it.
    QVERIFY(store().save(settings_table::defaults()));
    QFile lock(m_home.storeFile() + ".lock");
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.close();
    SettingsRecord record = settings_table::defaults();
    record.Treble = 12;
    QVERIFY(store().save(record));
    QVERIFY(m_home.storeBytes().contains("\nTreble=12\n"));
}

void TestSettingsStore::damagedFile_data()
{
    QRandomGenerator random(20240611);
    QByteArray noise(4096, Qt::Uninitialized);
    for (char &c : noise)
        c = char(random.bounded(256));
    noise.replace('[', '{'); // no accidental group

    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("treble");
    QTest::addColumn<QString>("logo");
    QTest::newRow("random bytes") << noise << 8 << "ZTK Electronics ";
    QTest::newRow("random bytes, then good keys") << noise + "\n[ValtronaAmp%2B]\nTreble=3\nLogoLine1=abc\n"
                                                  << 3 << "abc";
    QTest::newRow("good keys, then random bytes")
        << "[ValtronaAmp%2B]\nTreble=3\nLogoLine1=abc\n" + noise << 3 << "abc";
    QTest::newRow("group without ]") << QByteArray("[ValtronaAmp%2B\nTreble=2\n") << 2 << "ZTK Electronics ";
    QTest::newRow("line without =") << QByteArray("[ValtronaAmp%2B]\nTreble\nLogoLine1=x\n") << 8 << "x";
}

void TestSettingsStore::damagedFile()
{
    QFETCH(QByteArray, file);
    QFETCH(int, treble);
    QFETCH(QString, logo);
    m_home.writeStore(file);
    QSignalSpy problems(&store(), &SettingsStore::loadProblem);
    SettingsRecord record = scrambled();
    QVERIFY(!store().load(record));
    QCOMPARE(problems.count(), 1);
    QVERIFY2(problems.at(0).at(0).toString().contains(m_home.storeFile()),
        qPrintable(problems.at(0).at(0).toString()));
    QCOMPARE(int(record.Treble), treble);
    QCOMPARE(record.LogoLine1, logo);
    QCOMPARE(record.AF7, qint16(106));

    // The next save keeps the damaged file aside and says where; it leaves a file that both
    // readers take without complaint.
    QVERIFY(store().save(record));
    QCOMPARE(problems.count(), 2);
    QVERIFY2(problems.at(1).at(0).toString().contains(m_home.storeFile() + QStringLiteral(".damaged-")),
        qPrintable(problems.at(1).at(0).toString()));
    QVERIFY(store().load(record));
    QCOMPARE(problems.count(), 2);
    QCOMPARE(int(record.Treble), treble);
    auto s = freshQSettings();
    QVERIFY(s);
    QCOMPARE(s->status(), QSettings::NoError);
    QCOMPARE(s->value("ValtronaAmp+/LogoLine1").toString(), logo);
}

void TestSettingsStore::unreadableStore()
{
    QVERIFY(QDir().mkpath(m_home.storeFile())); // a folder where the file should be
    QSignalSpy problems(&store(), &SettingsStore::loadProblem);
    SettingsRecord record = scrambled();
    QVERIFY(!store().load(record));
    QCOMPARE(problems.count(), 1);
    QVERIFY(problems.at(0).at(0).toString().contains(m_home.storeFile()));
    QCOMPARE(text(record, "COMSelected"), QStringLiteral("1"));
    QCOMPARE(record.LogoLine2, QStringLiteral("<<VALTRONA FM+>>"));
    QVERIFY(QDir(m_home.storeFile()).removeRecursively());
}

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settings_store.moc"
