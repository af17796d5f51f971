// A panel killed at any moment of a save leaves one whole record in the store: the last one saved
// or the one being saved, never a mix of the two or a cut-off file.
//
// The test program runs itself again as a child that saves the record in a loop, each save
// changing a counter (TXFrequency) and the fields that follow it, and reports every save that
// returned. The parent kills the child with SIGKILL at a random moment, then reads the store the
// way the next start would (the store's own load) and the way any other INI reader would
// (QSettings, on a copy), and checks that every one of the 265 keys holds the value of one counter.
// SETTINGS_CRASH_KILLS and SETTINGS_CRASH_SEED change the number of kills and the random sequence.
//
// Surviving a kill is not all: a save must also be on disk once it returned. The system calls that
// make it so are recorded around a save, in their order, on the files they were made on.
#include "settings/durable_file.h"
#include "settings/record.h"
#include "settings/store.h"
#include "settings/table.h"
#include "support/child_process.h"
#include "support/test_env.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kChildVariable[] = "SETTINGS_CRASH_CHILD";
const char kSlowChildVariable[] = "SETTINGS_CRASH_SLOW_CHILD";
const QString kGroup = QStringLiteral("ValtronaAmp+");

// The record the saves of counter `n` write: the counter and a few fields that move with it, some
// of them changing the file's length, so that a mix of two records or a short file shows.
SettingsRecord recordFor(qint32 n)
{
    SettingsRecord r = settings_table::defaults();
    r.TXFrequency = n;
    r.RT6 = QStringLiteral("save %1;").arg(n).repeated(1 + n % 9);
    r.LogoLine2 = QString::number(n).rightJustified(16, u'0');
    r.AutoRead = n % 2 == 0;
    r.PS50 = QStringLiteral("=%1,\"").arg(n % 1000);
    r.GetMP3Tag = QStringLiteral("c:\\tag\\%1.txt").arg(n);
    return r;
}

// Every field as stored text, in the order of the keys.
QStringList fieldTexts(const SettingsRecord &r)
{
    QStringList texts;
    for (int i = 0; i < int(settings_table::keys().size()); ++i)
        texts.append(settings_table::fieldText(r, i));
    return texts;
}

void writeLine(const QByteArray &line)
{
    const QByteArray out = line + '\n';
    // One write per line, so that a kill cuts the output between lines, never inside one.
    [[maybe_unused]] const ssize_t n = ::write(STDOUT_FILENO, out.constData(), size_t(out.size()));
}

// The child: continue from the counter in the store and save until killed.
int runChild()
{
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME"))
        return 3; // never near the real user's store
    if (!LoadSettings())
        return 4;
    qint32 n = settingsRecord().TXFrequency;
    writeLine("ready " + QByteArray::number(n));
    while (true) {
        ++n;
        settingsRecord() = recordFor(n);
        if (!SaveSettings()) {
            writeLine("failed");
            return 5;
        }
        writeLine(QByteArray::number(n));
    }
}

// The slow child: one save whose first write waits until the parent says "go" on standard input,
// as a save on a stalled disk would.
int runSlowChild()
{
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME"))
        return 3;
    static bool waited = false;
    durable_file::systemCalls().write = [](int fd, const void *buffer, size_t count) -> ssize_t {
        if (!waited) {
            waited = true;
            writeLine("writing");
            char go[3];
            if (::read(STDIN_FILENO, go, sizeof go) != sizeof go)
                ::_exit(6);
        }
        return ::write(fd, buffer, count);
    };
    const bool saved = SettingsStore::instance().save(recordFor(42));
    writeLine("saved=" + QByteArray::number(int(saved)));
    return 0;
}

// One system call of a save as recorded: what it was and on which file (device and inode).
struct Call {
    QByteArray what; // "write", "fsync", "rename"
    bool folder = false; // made on a folder
    dev_t device = 0;
    ino_t inode = 0;
    QByteArray from, to; // of a rename
    bool operator==(const Call &o) const
    {
        return what == o.what && folder == o.folder && device == o.device && inode == o.inode
            && from == o.from && to == o.to;
    }
};
QList<Call> g_calls;

Call callOn(const char *what, bool folder, const struct stat &st)
{
    Call call;
    call.what = what;
    call.folder = folder;
    call.device = st.st_dev;
    call.inode = st.st_ino;
    return call;
}

Call callOn(const char *what, int fd)
{
    struct stat st {
    };
    const bool known = ::fstat(fd, &st) == 0;
    return callOn(what, known && S_ISDIR(st.st_mode), st);
}

// Sets the file's modification time `secondsAgo` into the past.
bool age(const QString &path, int secondsAgo)
{
    timespec times[2];
    ::clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= secondsAgo;
    times[1] = times[0];
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

QStringList othersInFolder(const QString &folder)
{
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    names.removeAll(QStringLiteral("ValtronaAmp+.ini"));
    return names;
}

int envNumber(const char *name, int fallback)
{
    bool ok = false;
    const int n = qEnvironmentVariableIntValue(name, &ok);
    return ok ? n : fallback;
}

} // namespace

class TestSettingsCrash : public QObject
{
    Q_OBJECT
private:
    QString folder() const { return m_home.configHome() + QStringLiteral("/ZTK Electronics"); }

    TestStoreHome m_home;
    QTemporaryDir m_scratch;

private slots:
    void killedDuringSaves();
    void leftoverTemporaries_data();
    void leftoverTemporaries();
    void slowWriterKeepsItsTemporary();
    void durableOrder();
};

void TestSettingsCrash::killedDuringSaves()
{
    const int kills = envNumber("SETTINGS_CRASH_KILLS", 500);
    const quint32 seed
        = quint32(envNumber("SETTINGS_CRASH_SEED", int(QRandomGenerator::global()->generate() >> 1)));
    QRandomGenerator random(seed);
    const QString seedNote = QStringLiteral("SETTINGS_CRASH_SEED=%1").arg(seed);
    QVERIFY(m_scratch.isValid());

    SettingsStore &store = SettingsStore::instance();
    QVERIFY(store.save(recordFor(0)));
    qint32 stored = 0; // the counter the store holds
    int savesReturned = 0; // saves the children saw return, over all runs
    int killsAfterRename = 0; // kills where the store already held the save the child had not reported

    // Each child is killed at a random moment of its second to fifth save.
    const QRegularExpression tempName(QStringLiteral("^\\.ValtronaAmp\\+\\.ini\\.[A-Za-z0-9]{6}$"));
    for (int kill = 0; kill < kills; ++kill) {
        const QString where = QStringLiteral("kill %1 of %2, %3").arg(kill + 1).arg(kills).arg(seedNote);
        QProcess child;
        prepareChild(child, kChildVariable);
        child.start();
        QVERIFY2(child.waitForStarted(10000), qPrintable(where));

        // Wait for the child's first save, and take its length as the pace of the ones that follow.
        QByteArray out;
        QElapsedTimer pace;
        while (out.count('\n') < 2 && child.state() == QProcess::Running) {
            child.waitForReadyRead(10000);
            out += child.readAllStandardOutput();
            if (!pace.isValid() && out.contains('\n'))
                pace.start();
        }
        // The child read the store the way the last kill left it.
        QVERIFY2(out.startsWith("ready " + QByteArray::number(stored) + '\n'),
            qPrintable(where + QStringLiteral(": child said ") + QString::fromLatin1(out)));
        const qint64 saveMicroseconds = qMax<qint64>(pace.nsecsElapsed() / 1000, 100);
        ::usleep(useconds_t(random.bounded(quint32(qMin<qint64>(saveMicroseconds * 4, 200000)))));
        child.kill();
        QVERIFY2(child.waitForFinished(10000), qPrintable(where));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        out += child.readAllStandardOutput();

        // The last counter the child saw saved (or the one it started from).
        const QList<QByteArray> lines = out.split('\n');
        qint32 reported = stored;
        int returned = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            bool ok = false;
            const qint32 n = lines[i].toInt(&ok);
            if (ok) {
                QCOMPARE(n, reported + 1);
                reported = n;
                ++returned;
            } else {
                QVERIFY2(lines[i].isEmpty(), qPrintable(where + QStringLiteral(": ") + lines[i]));
            }
        }
        QVERIFY(returned > 0);
        savesReturned += returned;

        // What the next start reads: one whole record, of the last reported counter or the next.
        SettingsRecord loaded;
        QVERIFY2(store.load(loaded), qPrintable(where));
        const qint32 found = loaded.TXFrequency;
        QVERIFY2(found == reported || found == reported + 1,
            qPrintable(
                where + QStringLiteral(": store holds %1, child reported %2").arg(found).arg(reported)));
        if (found == reported + 1)
            ++killsAfterRename;
        QCOMPARE(fieldTexts(loaded), fieldTexts(recordFor(found)));

        // What another INI reader reads. A fresh name each time: QSettings caches what it read by path.
        const QString copy = m_scratch.filePath(QStringLiteral("copy-%1.ini").arg(kill));
        QVERIFY(QFile::copy(m_home.storeFile(), copy));
        {
            QSettings ini(copy, QSettings::IniFormat);
            QCOMPARE(ini.status(), QSettings::NoError);
            ini.beginGroup(kGroup);
            QCOMPARE(ini.childKeys().size(), int(settings_table::keys().size()));
            const QStringList expected = fieldTexts(recordFor(found));
            for (int i = 0; i < expected.size(); ++i) {
                const QString name = QString::fromLatin1(settings_table::keys()[size_t(i)].name);
                QVERIFY2(ini.value(name).toString() == expected[i],
                    qPrintable(where + QStringLiteral(": ") + name));
            }
        }
        QFile::remove(copy);
        stored = found;
    }

    // A kill between creating and renaming the temporary file leaves it behind; nothing else may
    // be left beside the store.
    const QStringList leftovers = othersInFolder(folder());
    for (const QString &name : leftovers)
        QVERIFY2(tempName.match(name).hasMatch(), qPrintable(name));
    // Once they are old enough to belong to no running save, the next save clears them away.
    for (const QString &name : leftovers)
        QVERIFY(age(folder() + u'/' + name, durable_file::kStaleTemporarySeconds + 5));
    QVERIFY(store.save(recordFor(stored + 1)));
    QCOMPARE(othersInFolder(folder()), QStringList());

    qInfo("%d kills survived (%s): %d saves returned, %d kills after the rename and before the save "
          "returned, %d temporary files left behind by kills before the rename",
        kills, qPrintable(seedNote), savesReturned, killsAfterRename, int(leftovers.size()));
}

void TestSettingsCrash::leftoverTemporaries_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("secondsAgo");
    QTest::addColumn<bool>("kept");
    const int stale = durable_file::kStaleTemporarySeconds;
    QTest::newRow("temporary of a killed save") << ".ValtronaAmp+.ini.a1B2c3" << 3600 << false;
    QTest::newRow("just past the stale age") << ".ValtronaAmp+.ini.Zz09yY" << stale + 5 << false;
    QTest::newRow("temporary of a save still running") << ".ValtronaAmp+.ini.a1B2c3" << 0 << true;
    QTest::newRow("not yet stale") << ".ValtronaAmp+.ini.a1B2c3" << stale - 20 << true;
    QTest::newRow("lock file of another program") << "ValtronaAmp+.ini.lock" << 3600 << true;
    QTest::newRow("temporary of another file") << ".Other.ini.a1B2c3" << 3600 << true;
    QTest::newRow("longer name") << ".ValtronaAmp+.ini.a1B2c3d" << 3600 << true;
    QTest::newRow("shorter name") << ".ValtronaAmp+.ini.a1B2c" << 3600 << true;
}

void TestSettingsCrash::leftoverTemporaries()
{
    QFETCH(QString, name);
    QFETCH(int, secondsAgo);
    QFETCH(bool, kept);
    m_home.removeStore();
    SettingsStore &store = SettingsStore::instance();
    QVERIFY(store.save(recordFor(1)));
    const QString path = folder() + u'/' + name;
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[ValtronaAmp%2B]\nTXFrequency=");
    }
    QVERIFY(age(path, secondsAgo));

    QVERIFY(store.save(recordFor(2)));
    QCOMPARE(QFile::exists(path), kept);
    SettingsRecord loaded;
    QVERIFY(store.load(loaded));
    QCOMPARE(fieldTexts(loaded), fieldTexts(recordFor(2)));
}

// A save that takes longer than the stale age (a stalled disk, a suspended process) keeps its
// temporary file: the cleaning of another save sees its lock and leaves it, and the slow save goes
// through once its write returns.
void TestSettingsCrash::slowWriterKeepsItsTemporary()
{
    m_home.removeStore();
    SettingsStore &store = SettingsStore::instance();
    QVERIFY(store.save(recordFor(1)));

    QProcess child;
    child.setProgram(QCoreApplication::applicationFilePath());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kSlowChildVariable, QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.start();
    QVERIFY(child.waitForStarted(10000));
    auto stop = qScopeGuard([&] {
        child.kill();
        child.waitForFinished();
    });
    QByteArray out;
    while (!out.contains("writing\n") && child.state() == QProcess::Running && child.waitForReadyRead(10000))
        out += child.readAllStandardOutput();
    QVERIFY2(out.contains("writing\n"), out.constData());

    // Its temporary file, made to look as old as one a killed save left behind.
    const QStringList temporaries = othersInFolder(folder());
    QCOMPARE(temporaries.size(), 1);
    const QString temporary = folder() + u'/' + temporaries.first();
    QVERIFY(age(temporary, 3600));

    QVERIFY(store.save(recordFor(2)));
    QVERIFY2(QFile::exists(temporary), "the temporary file of a save still writing was removed");

    child.write("go\n");
    QVERIFY(child.waitForFinished(10000));
    stop.dismiss();
    out += child.readAllStandardOutput();
    QVERIFY2(out.endsWith("saved=1\n"), out.constData());
    SettingsRecord loaded;
    QVERIFY(store.load(loaded));
    QCOMPARE(fieldTexts(loaded), fieldTexts(recordFor(42)));
    QCOMPARE(othersInFolder(folder()), QStringList());
}

// A save is durable when it returns: the whole file written, then flushed, then renamed over the
// store, then the folder flushed so that the rename is on disk too. Recorded on the real calls, so
// that a save leaving out a flush, or flushing before the last write or after the rename, fails.
void TestSettingsCrash::durableOrder()
{
    m_home.removeStore();
    SettingsStore &store = SettingsStore::instance();
    QVERIFY(store.save(recordFor(1)));

    durable_file::SystemCalls &calls = durable_file::systemCalls();
    const durable_file::SystemCalls real = calls;
    auto restore = qScopeGuard([&] { calls = real; });
    g_calls.clear();
    calls.write = [](int fd, const void *buffer, size_t count) {
        g_calls.append(callOn("write", fd));
        return ::write(fd, buffer, count);
    };
    calls.fsync = [](int fd) {
        g_calls.append(callOn("fsync", fd));
        return ::fsync(fd);
    };
    calls.rename = [](const char *from, const char *to) {
        Call call;
        call.what = "rename";
        call.from = from;
        call.to = to;
        g_calls.append(call);
        return ::rename(from, to);
    };
    QVERIFY(store.save(recordFor(2)));
    restore.dismiss();
    calls = real;

    // The file written is the one now in the store; the folder flushed is the store's.
    struct stat file, dir;
    QCOMPARE(::stat(QFile::encodeName(m_home.storeFile()).constData(), &file), 0);
    QCOMPARE(::stat(QFile::encodeName(folder()).constData(), &dir), 0);
    QVERIFY(g_calls.size() >= 4);
    const Call rename = g_calls.at(g_calls.size() - 2);
    QCOMPARE(rename.what, QByteArray("rename"));
    QCOMPARE(rename.to, QFile::encodeName(m_home.storeFile()));
    QVERIFY2(rename.from.startsWith(QFile::encodeName(folder() + QStringLiteral("/.ValtronaAmp+.ini."))),
        rename.from.constData());
    QList<Call> expected;
    for (int i = 0; i < g_calls.size() - 3; ++i)
        expected << callOn("write", false, file);
    expected << callOn("fsync", false, file) << rename << callOn("fsync", true, dir);
    QCOMPARE(g_calls.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QVERIFY2(g_calls.at(i) == expected.at(i),
            qPrintable(QStringLiteral("call %1 of %2 is %3")
                           .arg(i + 1)
                           .arg(expected.size())
                           .arg(QString::fromLatin1(g_calls.at(i).what))));
    SettingsRecord loaded;
    QVERIFY(store.load(loaded));
    QCOMPARE(fieldTexts(loaded), fieldTexts(recordFor(2)));
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(kChildVariable))
        return runChild();
    if (qEnvironmentVariableIsSet(kSlowChildVariable))
        return runSlowChild();
    QCoreApplication app(argc, argv);
    TestSettingsCrash test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_settings_crash.moc"
