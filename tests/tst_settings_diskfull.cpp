// The two ways an INI store written by QSettings goes wrong on this platform, shown harmless here:
// a lock file left empty by a crash (QSettings then waits out a 30 s stale time at the next save),
// and a disk that fills during a save (Qt 6.4 can then commit a cut-off file and report no error).
//
// The disk is made to fill at every point of a save: a child process saves under a file-size
// limit (RLIMIT_FSIZE, SIGXFSZ ignored) swept from 0 bytes to past the file's size, and, where
// this process may mount one, a small tmpfs is filled to leave less and less room. After every
// step the save either returned true and the new whole record is on disk, or returned false, told
// its listeners, and left the old file byte for byte.
#include "settings/record.h"
#include "settings/store.h"
#include "settings/table.h"
#include "support/test_env.h"

#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kChildVariable[] = "SETTINGS_DISKFULL_CHILD";
const QString kGroup = QStringLiteral("ValtronaAmp+");
constexpr qint32 kFirstStep = 1000000; // seven digits from here on: every record has the same length

// The record of step `n`, the same length in the file for every step.
SettingsRecord recordFor(qint32 n)
{
    SettingsRecord r = settings_table::defaults();
    r.TXFrequency = n;
    r.RT6 = QStringLiteral("step %1, \"quoted\"").arg(n);
    r.LogoLine2 = QString::number(n).rightJustified(16, u'-');
    return r;
}

QStringList fieldTexts(const SettingsRecord &r)
{
    QStringList texts;
    for (int i = 0; i < int(settings_table::keys().size()); ++i)
        texts.append(settings_table::fieldText(r, i));
    return texts;
}

QString systemReason(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

// The child: the next step's save, under whatever file-size limit the parent set.
int runChild()
{
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME"))
        return 3; // never near the real user's store
    int failures = 0;
    QString text;
    QObject::connect(&SettingsStore::instance(), &SettingsStore::saveFailed, [&](const QString &t) {
        ++failures;
        text = t;
    });
    if (!LoadSettings())
        return 4;
    settingsRecord() = recordFor(settingsRecord().TXFrequency + 1);
    const bool saved = SaveSettings();
    QTextStream out(stdout);
    out << "saved=" << int(saved) << "\nfailures=" << failures << "\ntext=" << text << "\n";
    return 0;
}

} // namespace

class TestSettingsDiskFull : public QObject
{
    Q_OBJECT
private:
    QString folder() const { return m_home.configHome() + QStringLiteral("/ZTK Electronics"); }
    QStringList leftovers(const QString &dir) const
    {
        QStringList names = QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
        names.removeAll(QStringLiteral("ValtronaAmp+.ini"));
        return names;
    }
    // Checks that `file` (the store) holds one whole record, the one of step `expected`.
    void checkWholeRecord(const QString &file, qint32 expected, const QString &where);

    TestStoreHome m_home;
    QTemporaryDir m_scratch;
    int m_copies = 0;

private slots:
    void init();
    void leftoverLock_data();
    void leftoverLock();
    void fileSizeLimitSweep();
    void fullFileSystem();
};

void TestSettingsDiskFull::checkWholeRecord(const QString &file, qint32 expected, const QString &where)
{
    SettingsRecord loaded;
    QVERIFY2(SettingsStore::instance().load(loaded), qPrintable(where));
    QCOMPARE(fieldTexts(loaded), fieldTexts(recordFor(expected)));

    // Another INI reader sees the same; a fresh name each time, as QSettings caches by path.
    const QString copy = m_scratch.filePath(QStringLiteral("copy-%1.ini").arg(++m_copies));
    QVERIFY(QFile::copy(file, copy));
    QSettings ini(copy, QSettings::IniFormat);
    QCOMPARE(ini.status(), QSettings::NoError);
    ini.beginGroup(kGroup);
    QCOMPARE(ini.childKeys().size(), int(settings_table::keys().size()));
    QCOMPARE(ini.value(QStringLiteral("TXFrequency")).toString(), QString::number(expected));
    QCOMPARE(ini.value(QStringLiteral("GetMP3Tag")).toString(), recordFor(expected).GetMP3Tag);
}

void TestSettingsDiskFull::init()
{
    QVERIFY(m_scratch.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.configHome()));
    m_home.removeStore();
    if (SettingsStore::instance().isFailing()) // end the episode the last test left open
        QVERIFY(SettingsStore::instance().save(recordFor(0)));
    m_home.removeStore();
}

void TestSettingsDiskFull::leftoverLock_data()
{
    QTest::addColumn<QByteArray>("lock");
    pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("names a process that is gone") << QByteArray::number(dead) + "\npanel\nlocalhost\n";
    QTest::newRow("names a running process") << QByteArray::number(::getpid()) + "\npanel\nlocalhost\n";
}

void TestSettingsDiskFull::leftoverLock()
{
    QFETCH(QByteArray, lock);
    SettingsStore &store = SettingsStore::instance();
    QVERIFY(store.save(recordFor(kFirstStep)));
    {
        QFile file(m_home.storeFile() + QStringLiteral(".lock"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(lock), lock.size());
    }

    // A save runs on every operator action, so none may wait on the lock file: the saves never
    // open it (the kernel reports every open of the watched file), nor change or remove it. A
    // check on what happens to the file rather than on time, so that a loaded machine cannot fail it.
    const int watcher = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(watcher >= 0);
    auto closeWatcher = qScopeGuard([&] { ::close(watcher); });
    const QByteArray lockPath = QFile::encodeName(m_home.storeFile() + QStringLiteral(".lock"));
    QVERIFY(::inotify_add_watch(watcher, lockPath.constData(), IN_ALL_EVENTS) >= 0);
    for (qint32 step = kFirstStep + 1; step <= kFirstStep + 3; ++step) {
        QVERIFY(store.save(recordFor(step)));
        checkWholeRecord(m_home.storeFile(), step, QString::number(step));
        if (QTest::currentTestFailed())
            return;
    }
    alignas(inotify_event) char events[4096];
    const ssize_t got = ::read(watcher, events, sizeof events);
    QVERIFY2(got < 0 && errno == EAGAIN,
        got > 0 ? qPrintable(QStringLiteral("the lock file was touched (event mask 0x%1)")
                                 .arg(reinterpret_cast<const inotify_event *>(events)->mask, 0, 16))
                : "the watch could not be read");
    QFile file(m_home.storeFile() + QStringLiteral(".lock"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), lock);
}

void TestSettingsDiskFull::fileSizeLimitSweep()
{
    SettingsStore &store = SettingsStore::instance();
    QVERIFY(store.save(recordFor(kFirstStep)));
    QVERIFY(store.addMissingGroupKeys(QStringLiteral("Ports"), { { "COM1", "/dev/ttyUSB7" } }));
    const qsizetype size = m_home.storeBytes().size();
    QVERIFY(size > 1000);

    QList<qsizetype> limits;
    for (qsizetype limit = 0; limit < size; limit += 64)
        limits.append(limit);
    limits << size - 1 << size << size + 64;

    qint32 onDisk = kFirstStep;
    int failed = 0;
    for (const qsizetype limit : limits) {
        const QString where = QStringLiteral("limit %1 of a %2-byte file").arg(limit).arg(size);
        const QByteArray before = m_home.storeBytes();
        QProcess child;
        child.setProgram(QCoreApplication::applicationFilePath());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(kChildVariable, QStringLiteral("1"));
        child.setProcessEnvironment(env);
        child.setChildProcessModifier([limit] {
            const rlimit rl { rlim_t(limit), rlim_t(limit) };
            ::setrlimit(RLIMIT_FSIZE, &rl);
            ::signal(SIGXFSZ, SIG_IGN);
        });
        child.start();
        QVERIFY2(child.waitForFinished(30000), qPrintable(where));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        const QStringList lines = QString::fromLocal8Bit(child.readAllStandardOutput()).split(u'\n');

        // The whole new file fits exactly when the limit reaches its size.
        const bool fits = limit >= size;
        QCOMPARE(lines.value(0), QStringLiteral("saved=%1").arg(int(fits)));
        QCOMPARE(leftovers(folder()), QStringList());
        if (fits) {
            ++onDisk;
            QCOMPARE(m_home.storeBytes().size(), size);
            QCOMPARE(store.groupValue(QStringLiteral("Ports"), QStringLiteral("COM1")),
                QStringLiteral("/dev/ttyUSB7"));
        } else {
            ++failed;
            QCOMPARE(lines.value(1), QStringLiteral("failures=1"));
            QVERIFY2(lines.value(2).contains(systemReason(EFBIG)), qPrintable(where + u' ' + lines.value(2)));
            QVERIFY2(m_home.storeBytes() == before, qPrintable(where));
        }
        checkWholeRecord(m_home.storeFile(), onDisk, where);
        if (QTest::currentTestFailed())
            return;
    }
    QCOMPARE(onDisk, kFirstStep + 2);
    qInfo("file-size limit swept over %d steps of a %d-byte store: %d saves refused, 2 went through",
        int(limits.size()), int(size), failed);
}

void TestSettingsDiskFull::fullFileSystem()
{
    const QString mountPoint = m_scratch.filePath(QStringLiteral("small-disk"));
    QVERIFY(QDir().mkpath(mountPoint));
    const QByteArray nativeMount = QFile::encodeName(mountPoint);
    if (::mount("tmpfs", nativeMount.constData(), "tmpfs", 0, "size=64k,mode=0700") != 0)
        QSKIP(qPrintable(QStringLiteral("no tmpfs can be mounted here (%1)").arg(systemReason(errno))));
    auto unmount = qScopeGuard([&] { ::umount2(nativeMount.constData(), MNT_DETACH); });
    qputenv("XDG_CONFIG_HOME", nativeMount);
    auto home = qScopeGuard([&] { qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.configHome())); });

    SettingsStore &store = SettingsStore::instance();
    const QString file = store.filePath();
    QVERIFY(file.startsWith(mountPoint));
    const QString filler = mountPoint + QStringLiteral("/filler");
    auto freeBytes = [&] {
        struct statvfs vfs;
        return ::statvfs(nativeMount.constData(), &vfs) == 0 ? qint64(vfs.f_bavail) * qint64(vfs.f_frsize)
                                                             : -1;
    };

    // Leave 0 to 12 KiB of room in steps of 512 bytes, from none at all to room for a few new files.
    QList<bool> outcomes;
    for (qint64 room = 0; room <= 3 * 4096; room += 512) {
        const QString where = QStringLiteral("%1 bytes left").arg(room);
        QFile::remove(filler);
        QVERIFY(store.save(recordFor(kFirstStep)));
        const qint64 fillerSize = freeBytes() - room;
        if (fillerSize > 0) {
            QFile fill(filler);
            QVERIFY(fill.open(QIODevice::WriteOnly));
            QCOMPARE(fill.write(QByteArray(fillerSize, 'x')), fillerSize);
        }
        const QByteArray before = [&] {
            QFile f(file);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();

        QSignalSpy told(&store, &SettingsStore::saveFailed);
        const bool saved = store.save(recordFor(kFirstStep + 1));
        outcomes.append(saved);
        QCOMPARE(leftovers(QFileInfo(file).absolutePath()), QStringList());
        if (saved) {
            checkWholeRecord(file, kFirstStep + 1, where);
        } else {
            QCOMPARE(told.count(), 1);
            QVERIFY2(store.lastError().contains(systemReason(ENOSPC)), qPrintable(store.lastError()));
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QVERIFY2(f.readAll() == before, qPrintable(where));
            checkWholeRecord(file, kFirstStep, where);
        }
        if (QTest::currentTestFailed())
            return;
    }
    // Less room refuses the save, more lets it through, with one change between the two.
    const qsizetype firstSaved = outcomes.indexOf(true);
    QVERIFY2(firstSaved > 0, "the sweep must start with a disk too full for the save");
    QCOMPARE(outcomes.lastIndexOf(false), firstSaved - 1);
    QFile::remove(filler);
    QVERIFY(store.save(recordFor(kFirstStep))); // ends the failing episode while the room is there
    qInfo("tmpfs sweep over %d steps: saves refused up to %d bytes of room", int(outcomes.size()),
        int((firstSaved - 1) * 512));
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(kChildVariable))
        return runChild();
    QCoreApplication app(argc, argv);
    TestSettingsDiskFull test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_settings_diskfull.moc"
