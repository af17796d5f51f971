// The store file parsed once: how often it is read and parsed while it stays the same, which edits
// make it read again, and a hand edit made while a save is under way (between the save's read and
// its rename), which the save takes in instead of writing over it.
#include "settings/parsed_file.h"
#include "settings/record.h"
#include "settings/store.h"
#include "settings/table.h"
#include "support/test_env.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Writes `bytes` into the file at `path` in place (the same inode), as an editor saving over it.
bool writeInPlace(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() && f.flush();
}

// Puts `bytes` under `path` by writing a new file and renaming it over the old one.
bool replaceByRename(const QString &path, const QByteArray &bytes)
{
    const QString next = path + QStringLiteral(".by-hand");
    return writeInPlace(next, bytes)
        && std::rename(QFile::encodeName(next).constData(), QFile::encodeName(path).constData()) == 0;
}

// Sets the modification time of `path` (nanoseconds since the epoch); the change time moves on.
bool setMtime(const QString &path, qint64 ns)
{
    const struct timespec times[2]
        = { { 0, UTIME_OMIT }, { time_t(ns / 1000000000), long(ns % 1000000000) } };
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

qint64 nowNs()
{
    struct timespec now {
    };
    ::clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

const QString kRecord = QStringLiteral("ValtronaAmp+");

} // namespace

class TestSettingsParsed : public QObject
{
    Q_OBJECT

    TestStoreHome m_home;
    SettingsStore &store() { return SettingsStore::instance(); }
    quint64 parses() const { return SettingsStore::instance().fileStatistics().parses; }

private slots:
    void init()
    {
        m_home.removeStore();
        store().setBeforeRenameCheck({});
    }

    void unchangedFileIsParsedOnce();
    void editsAreNoticed();
    void recentChangeIsReadAtEachLook();
    void handEditBeforeTheRenameIsKept_data();
    void handEditBeforeTheRenameIsKept();
    void fileThatKeepsChangingIsLeftAlone();
    void saveOfWhatIsThereWritesNothing_data();
    void saveOfWhatIsThereWritesNothing();
};

// Saves, loads, reads of other groups and additions of missing keys, many of each, on a file no one
// else touches: one parse, that of the hand-written file; a save takes what it wrote as parsed.
void TestSettingsParsed::unchangedFileIsParsedOnce()
{
    QVERIFY(m_home.writeStore("[Ports]\nCOM1=/dev/ttyS0\n\n[Metrics]\nDirectory=/srv/metrics\n"));
    const quint64 before = parses();
    SettingsRecord &record = settingsRecord();
    QVERIFY(LoadSettings());
    for (int i = 0; i < 40; ++i) {
        record.AutoRead = i % 2 == 0;
        QVERIFY(SaveSettings());
        QVERIFY(LoadSettings());
        QCOMPARE(store().groupValue(QStringLiteral("Metrics"), QStringLiteral("Directory")),
            QStringLiteral("/srv/metrics"));
        QCOMPARE(store().groupValue(QStringLiteral("Ports"), QStringLiteral("COM1")),
            QStringLiteral("/dev/ttyS0"));
        QVERIFY(store().addMissingGroupKeys(
            QStringLiteral("Extra"), { { QStringLiteral("Key"), QString::number(i) } }));
    }
    QCOMPARE(parses() - before, quint64(1));
    // What was served is what is on disk.
    QCOMPARE(m_home.storedText("AutoRead"), QByteArray("False"));
    QVERIFY(m_home.storeBytes().contains("[Extra]\nKey=0\n"));
}

// A file read once its last change had settled is looked at without reading it while its identity
// stays. Each kind of edit changes the identity and is read (and parsed when the bytes differ).
// One wait for all the files: their change times must lie far enough behind the first read.
void TestSettingsParsed::editsAreNoticed()
{
    struct Case {
        const char *name;
        QByteArray edited;
        enum { InPlace, InPlaceOldMtime, ByRename, TouchOnly, Removed } how;
        quint64 parses;
        QString value;
    };
    const QByteArray first = "[G]\nK=first\n";
    const Case cases[] = {
        { "rewritten in place, same size, mtime moved", "[G]\nK=other\n", Case::InPlace, 1, "other" },
        { "rewritten in place, same size, mtime set back", "[G]\nK=older\n", Case::InPlaceOldMtime, 1,
            "older" },
        { "replaced by rename, same size", "[G]\nK=newer\n", Case::ByRename, 1, "newer" },
        { "touched only", first, Case::TouchOnly, 0, "first" },
        { "removed", {}, Case::Removed, 1, "" },
    };
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const int n = int(std::size(cases));
    std::vector<ParsedFile> files(static_cast<size_t>(n));
    std::vector<qint64> mtimes;
    auto pathOf = [&dir](int i) { return dir.filePath(QStringLiteral("store%1.ini").arg(i)); };
    for (int i = 0; i < n; ++i) {
        QVERIFY(writeInPlace(pathOf(i), first));
        mtimes.push_back(durable_file::identityOf(pathOf(i)).mtimeNs);
    }
    const qint64 lastChange = durable_file::identityOf(pathOf(n - 1)).ctimeNs;
    while (nowNs() - lastChange < ParsedFile::kSettleNs + 100'000'000)
        QThread::msleep(50);

    for (int i = 0; i < n; ++i) {
        ParsedFile &file = files[size_t(i)];
        QCOMPARE(file.current(pathOf(i)).doc.value("G", "K"), QStringLiteral("first"));
        for (int look = 0; look < 20; ++look)
            QCOMPARE(file.current(pathOf(i)).doc.value("G", "K"), QStringLiteral("first"));
        QCOMPARE(file.statistics().looks, quint64(21));
        QCOMPARE(file.statistics().reads, quint64(1)); // the other 20 looks were a stat each
        QCOMPARE(file.statistics().parses, quint64(1));
    }

    for (int i = 0; i < n; ++i) {
        const Case &c = cases[i];
        const QString path = pathOf(i);
        switch (c.how) {
        case Case::InPlace:
            QVERIFY(writeInPlace(path, c.edited));
            QVERIFY(setMtime(path, mtimes[size_t(i)] + 1'000'000'000));
            break;
        case Case::InPlaceOldMtime: // as a copy that keeps times does: only the change time tells
            QVERIFY(writeInPlace(path, c.edited));
            QVERIFY(setMtime(path, mtimes[size_t(i)]));
            break;
        case Case::ByRename:
            QVERIFY(replaceByRename(path, c.edited));
            break;
        case Case::TouchOnly:
            QVERIFY(setMtime(path, mtimes[size_t(i)] + 1'000'000'000));
            break;
        case Case::Removed:
            QVERIFY(QFile::remove(path));
            break;
        }
        ParsedFile &file = files[size_t(i)];
        const ParsedFile::Version &now = file.current(path);
        QVERIFY2(now.doc.value("G", "K") == c.value, c.name);
        QVERIFY2(file.statistics().reads == 2, c.name);
        QVERIFY2(file.statistics().parses == 1 + c.parses, c.name);
        QVERIFY2(now.generation == 1 + c.parses, c.name); // a new version only for new bytes
        if (c.how == Case::Removed)
            QVERIFY2(now.result == durable_file::ReadResult::Missing, c.name);
    }
}

// A file changed shortly before it was read may have changed again within the same tick of the
// clock, its times unchanged: its identity does not vouch for it, and each look reads it again (a
// read compared with the last, no parse), until a read comes late enough after the change.
void TestSettingsParsed::recentChangeIsReadAtEachLook()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("store.ini"));
    QVERIFY(writeInPlace(path, "[G]\nK=v\n"));
    const qint64 changed = durable_file::identityOf(path).ctimeNs;
    ParsedFile file;
    for (int look = 0; look < 5; ++look)
        QCOMPARE(file.current(path).doc.value("G", "K"), QStringLiteral("v"));
    // Looks are quick, but a machine under load may have made them late: only looks made within
    // the settling time after the change are sure to read.
    const quint64 lateLooks = nowNs() - changed >= ParsedFile::kSettleNs ? 4 : 0;
    QVERIFY(file.statistics().reads >= 5 - lateLooks);
    QCOMPARE(file.statistics().parses, quint64(1));
}

// A hand edit lands after the save has read the file and written its temporary file, just before
// the rename: the file saved holds the edit (a group added, a port changed) and the save's own keys
// over it (the record's group is the panel's: a record key edited there gets the record's value).
void TestSettingsParsed::handEditBeforeTheRenameIsKept_data()
{
    QTest::addColumn<bool>("byRename");
    QTest::newRow("edited in place") << false;
    QTest::newRow("replaced by rename") << true;
}

void TestSettingsParsed::handEditBeforeTheRenameIsKept()
{
    QFETCH(bool, byRename);
    QVERIFY(m_home.writeStore("[Ports]\nCOM3=/dev/ttyS2\n"));
    SettingsRecord &record = settingsRecord();
    record = settings_table::defaults();
    QVERIFY(SaveSettings()); // the store parsed and written, as the panel has it after a while

    const QByteArray edited
        = m_home.storeBytes().replace("COM3=/dev/ttyS2", "COM3=/dev/ttyUSB7").replace("Treble=8", "Treble=3")
        + "\n[Hand]\nNote=kept\n";
    int edits = 0;
    store().setBeforeRenameCheck([&] {
        if (edits++ == 0)
            QVERIFY(byRename ? replaceByRename(m_home.storeFile(), edited)
                             : writeInPlace(m_home.storeFile(), edited));
    });
    record.AutoRead = false;
    record.Treble = 5;
    QSignalSpy failed(&store(), &SettingsStore::saveFailed);
    QVERIFY(SaveSettings());
    store().setBeforeRenameCheck({});

    const QByteArray bytes = m_home.storeBytes();
    QVERIFY2(bytes.contains("[Hand]\nNote=kept\n"), bytes.constData());
    QVERIFY2(bytes.contains("COM3=/dev/ttyUSB7\n"), bytes.constData());
    QCOMPARE(m_home.storedText("AutoRead"), QByteArray("False"));
    QCOMPARE(m_home.storedText("Treble"), QByteArray("5"));
    QCOMPARE(edits, 2); // the second check found the file as the retried save had read it
    QCOMPARE(failed.count(), 0);
    QCOMPARE(store().groupValue(QStringLiteral("Hand"), QStringLiteral("Note")), QStringLiteral("kept"));
    int keys = 0;
    m_home.storedText("AutoRead", &keys);
    QCOMPARE(keys, 265);
}

// A file edited at every check before the rename is not written over: the save fails (the record
// keeps its values), the last edit stays on disk, and the next save takes it in.
void TestSettingsParsed::fileThatKeepsChangingIsLeftAlone()
{
    QVERIFY(m_home.writeStore("[Ports]\nCOM3=/dev/ttyS2\n"));
    SettingsRecord &record = settingsRecord();
    record = settings_table::defaults();
    QVERIFY(SaveSettings());

    int edits = 0;
    QByteArray last;
    store().setBeforeRenameCheck([&] {
        last = m_home.storeBytes() + "\n[Hand" + QByteArray::number(++edits) + "]\nNote=edit\n";
        QVERIFY(writeInPlace(m_home.storeFile(), last));
    });
    record.Treble = 5;
    QSignalSpy failed(&store(), &SettingsStore::saveFailed);
    QVERIFY(!SaveSettings());
    QCOMPARE(edits, SettingsStore::kSaveAttempts);
    QCOMPARE(failed.count(), 1);
    QVERIFY2(failed.first().first().toString().contains(QLatin1String("changed each of the")),
        qPrintable(failed.first().first().toString()));
    QCOMPARE(m_home.storeBytes(), last);

    store().setBeforeRenameCheck({});
    QVERIFY(SaveSettings());
    const QByteArray bytes = m_home.storeBytes();
    for (int i = 1; i <= SettingsStore::kSaveAttempts; ++i)
        QVERIFY2(bytes.contains("[Hand" + QByteArray::number(i) + "]\nNote=edit\n"), bytes.constData());
    QCOMPARE(m_home.storedText("Treble"), QByteArray("5"));
}

QTEST_GUILESS_MAIN(TestSettingsParsed)
#include "tst_settings_parsed.moc"

// A save that would write the bytes the file holds leaves it alone when the file is still the one
// this process's own last save synced; anything done to it since makes the save write (and sync)
// it again. A rewrite shows as a new inode: every write is a new file renamed over the name.
void TestSettingsParsed::saveOfWhatIsThereWritesNothing_data()
{
    QTest::addColumn<QString>("meanwhile");
    QTest::addColumn<bool>("written");
    QTest::newRow("nothing") << "nothing" << false;
    QTest::newRow("mode changed") << "chmod" << true;
    QTest::newRow("same bytes written over it") << "rewrite" << true;
    QTest::newRow("same bytes renamed over it") << "rename" << true;
    QTest::newRow("modification time set") << "touch" << true;
}

void TestSettingsParsed::saveOfWhatIsThereWritesNothing()
{
    QFETCH(QString, meanwhile);
    QFETCH(bool, written);
    const auto inode = [this] {
        struct stat st {
        };
        return ::stat(QFile::encodeName(m_home.storeFile()).constData(), &st) == 0 ? st.st_ino : ino_t(0);
    };
    SettingsRecord &record = settingsRecord();
    record.Treble = 4;
    QVERIFY(SaveSettings());
    const ino_t first = inode();
    QVERIFY(SaveSettings()); // the same record: nothing to write
    QCOMPARE(inode(), first);
    record.Treble = 5;
    QVERIFY(SaveSettings()); // a value changed: written
    const ino_t second = inode();
    QVERIFY(second != first);

    const QString path = m_home.storeFile();
    const QByteArray bytes = m_home.storeBytes();
    if (meanwhile == QLatin1String("chmod"))
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    else if (meanwhile == QLatin1String("rewrite"))
        QVERIFY(writeInPlace(path, bytes));
    else if (meanwhile == QLatin1String("rename"))
        QVERIFY(replaceByRename(path, bytes));
    else if (meanwhile == QLatin1String("touch"))
        QVERIFY(setMtime(path, nowNs() - 3600LL * 1000000000));
    const ino_t before = inode();

    QVERIFY(SaveSettings());
    QCOMPARE(inode() != before, written);
    QCOMPARE(m_home.storeBytes(), bytes);
    QCOMPARE(m_home.storedText("Treble"), QByteArray("5"));
}
