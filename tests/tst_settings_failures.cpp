// A store that cannot be written: saves report failure once per episode and recovery once, the
// file on disk stays as it was, and the record keeps working in memory.
//
// The tests run as root, which ignores file modes, so the faults are ones root cannot override:
// a regular file where the store's folder should be, a folder where the store file should be,
// the immutable attribute on the folder or the file (skipped where the file system lacks it), and
// a file-size limit (RLIMIT_FSIZE, SIGXFSZ ignored) on a child process standing in for a full disk.
#include "settings/record.h"
#include "settings/store.h"
#include "settings/table.h"
#include "support/child_process.h"
#include "support/test_env.h"

#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const char kChildVariable[] = "SETTINGS_FAILURES_CHILD";

enum class Fault { FolderIsFile, PathIsFolder, ImmutableFolder, ImmutableFile };

QString systemReason(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

bool setImmutable(const QString &path, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

// The child: one save of a changed record, with whatever limits the parent set on it.
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
    LoadSettings();
    settingsRecord().RT6 = QStringLiteral("written by the child");
    const bool saved = SaveSettings();
    QTextStream out(stdout);
    out << "saved=" << int(saved) << "\nfailures=" << failures << "\ntext=" << text << "\n";
    return 0;
}

} // namespace

class TestSettingsFailures : public QObject
{
    Q_OBJECT
private:
    QString folder() const { return m_home.configHome() + QStringLiteral("/ZTK Electronics"); }
    // Everything in the store's folder but the store itself: leftovers of a failed save.
    QStringList leftovers() const
    {
        QStringList names = QDir(folder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        names.removeAll(QStringLiteral("ValtronaAmp+.ini"));
        return names;
    }
    bool apply(Fault fault, bool on);

    TestStoreHome m_home;

private slots:
    void init();
    void episode_data();
    void episode();
    void fullDisk_data();
    void fullDisk();
};

bool TestSettingsFailures::apply(Fault fault, bool on)
{
    switch (fault) {
    case Fault::FolderIsFile:
        if (on) {
            QDir(folder()).removeRecursively();
            QFile file(folder());
            return file.open(QIODevice::WriteOnly);
        }
        return QFile::remove(folder());
    case Fault::PathIsFolder:
        if (on)
            QFile::remove(m_home.storeFile());
        return on ? QDir().mkpath(m_home.storeFile()) : QDir(m_home.storeFile()).removeRecursively();
    case Fault::ImmutableFolder:
        return setImmutable(folder(), on);
    case Fault::ImmutableFile:
        return setImmutable(m_home.storeFile(), on);
    }
    return false;
}

void TestSettingsFailures::init()
{
    QFile::remove(folder());
    if (SettingsStore::instance().isFailing()) // end the episode the last test left open
        QVERIFY(SaveSettings());
    m_home.removeStore();
}

void TestSettingsFailures::episode_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<bool>("oldFile"); // whether a good store exists before the fault
    QTest::addColumn<QString>("named"); // the path the message names
    QTest::addColumn<int>("err"); // the system's reason the message gives
    const QString dir = m_home.configHome() + QStringLiteral("/ZTK Electronics");
    QTest::newRow("folder is a file") << Fault::FolderIsFile << false << dir << int(ENOTDIR);
    QTest::newRow("store is a folder") << Fault::PathIsFolder << false << m_home.storeFile() << int(EISDIR);
    QTest::newRow("folder immutable") << Fault::ImmutableFolder << true << dir << int(EPERM);
    QTest::newRow("file immutable") << Fault::ImmutableFile << true << m_home.storeFile() << int(EPERM);
}

void TestSettingsFailures::episode()
{
    QFETCH(Fault, fault);
    QFETCH(bool, oldFile);
    QFETCH(QString, named);
    QFETCH(int, err);
    SettingsStore &store = SettingsStore::instance();

    settingsRecord() = settings_table::defaults();
    settingsRecord().RT6 = QStringLiteral("old");
    if (oldFile)
        QVERIFY(SaveSettings());
    const QByteArray before = m_home.storeBytes();

    if (!apply(fault, true)) {
        if (fault == Fault::ImmutableFolder || fault == Fault::ImmutableFile)
            QSKIP("the immutable attribute cannot be set here");
        QFAIL("could not set up the fault");
    }
    auto undo = qScopeGuard([&] { apply(fault, false); });

    QSignalSpy failed(&store, &SettingsStore::saveFailed);
    QSignalSpy recovered(&store, &SettingsStore::saveRecovered);
    settingsRecord().RT6 = QStringLiteral("new");
    QVERIFY(!SaveSettings());
    QVERIFY(!SaveSettings());
    QCOMPARE(failed.count(), 1);
    QCOMPARE(recovered.count(), 0);
    QVERIFY(store.isFailing());
    const QString text = failed.at(0).at(0).toString();
    QVERIFY2(text.contains(named), qPrintable(text));
    QVERIFY2(text.contains(systemReason(err)), qPrintable(text));
    QCOMPARE(store.lastError(), text);

    QCOMPARE(m_home.storeBytes(), before);
    QCOMPARE(leftovers(), QStringList());
    QCOMPARE(settingsRecord().RT6, QStringLiteral("new"));

    // The episode ends at the first save that works, and a new fault starts a new one.
    undo.dismiss();
    QVERIFY(apply(fault, false));
    QVERIFY(SaveSettings());
    QCOMPARE(recovered.count(), 1);
    QVERIFY(!store.isFailing());
    QVERIFY(store.lastError().isEmpty());
    QVERIFY(SaveSettings());
    QCOMPARE(recovered.count(), 1);
    SettingsRecord loaded;
    QVERIFY(store.load(loaded));
    QCOMPARE(loaded.RT6, QStringLiteral("new"));

    QVERIFY(apply(fault, true));
    auto undoAgain = qScopeGuard([&] { apply(fault, false); });
    settingsRecord().RT6 = QStringLiteral("newer"); // a save of what the file holds writes nothing
    QVERIFY(!SaveSettings());
    QCOMPARE(failed.count(), 2);
}

void TestSettingsFailures::fullDisk_data()
{
    QTest::addColumn<bool>("limited"); // the child may write half the store's size, or any size
    QTest::addColumn<bool>("saved");
    QTest::newRow("no limit") << false << true;
    QTest::newRow("disk fills during the write") << true << false;
}

void TestSettingsFailures::fullDisk()
{
    QFETCH(bool, limited);
    QFETCH(bool, saved);
    settingsRecord() = settings_table::defaults();
    QVERIFY(SaveSettings());
    const QByteArray before = m_home.storeBytes();
    QVERIFY(!before.isEmpty());
    const qsizetype limit = limited ? before.size() / 2 : 0;

    QProcess child;
    prepareChild(child, kChildVariable, limit);
    child.start();
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    const QStringList lines = QString::fromLocal8Bit(child.readAllStandardOutput()).split('\n');
    QCOMPARE(lines.value(0), QStringLiteral("saved=%1").arg(int(saved)));
    QCOMPARE(lines.value(1), QStringLiteral("failures=%1").arg(saved ? 0 : 1));
    QCOMPARE(leftovers(), QStringList());

    SettingsRecord loaded;
    QVERIFY(SettingsStore::instance().load(loaded));
    if (saved) {
        QCOMPARE(loaded.RT6, QStringLiteral("written by the child"));
    } else {
        QVERIFY2(lines.value(2).contains(m_home.storeFile()), qPrintable(lines.value(2)));
        QVERIFY2(lines.value(2).contains(systemReason(EFBIG)), qPrintable(lines.value(2)));
        QCOMPARE(m_home.storeBytes(), before);
        QCOMPARE(loaded.RT6, settings_table::defaults().RT6);
    }
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(kChildVariable))
        return runChild();
    QCoreApplication app(argc, argv);
    TestSettingsFailures test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_settings_failures.moc"
