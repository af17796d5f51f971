// The store file where it is not a plain file of the operator's: a symbolic link to a file kept
// elsewhere, a file owned by the operator while the panel runs as root, a link to another user's
// file while the panel runs as root, a named pipe, a device or a file far too large, and a file
// whose hand-typed lines cannot be read.
//
// Loads of the odd files run in a child process (this program run again), so that a load that
// blocks on a pipe or reads a device without end is caught by the parent, which stops the child
// after a time or when its memory passes a bound, instead of hanging or filling the machine.
#include "settings/durable_file.h"
#include "settings/record.h"
#include "settings/store.h"
#include "settings/table.h"
#include "support/test_env.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kChildVariable[] = "SETTINGS_ODDFILES_CHILD";
const QString kGroup = QStringLiteral("ValtronaAmp+");
constexpr uid_t kOperator = 65534; // nobody, standing in for the operator whose store it is
constexpr gid_t kOperatorGroup = 65534;

SettingsRecord recordFor(qint32 n)
{
    SettingsRecord r = settings_table::defaults();
    r.TXFrequency = n;
    r.RT6 = QStringLiteral("record %1").arg(n);
    return r;
}

// The child: a load and a save of the store as it is, each result on a line of its own.
int runChild()
{
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME"))
        return 3; // never near the real user's store
    SettingsStore &store = SettingsStore::instance();
    QString problem, failure;
    QObject::connect(&store, &SettingsStore::loadProblem, [&](const QString &t) { problem = t; });
    QObject::connect(&store, &SettingsStore::saveFailed, [&](const QString &t) { failure = t; });
    SettingsRecord record = recordFor(1);
    const bool loaded = store.load(record);
    QTextStream out(stdout);
    out << "loaded=" << int(loaded) << "\nproblem=" << problem << "\nTXFrequency=" << record.TXFrequency
        << Qt::endl;
    const bool saved = store.save(recordFor(2));
    out << "saved=" << int(saved) << "\nfailure=" << failure << Qt::endl;
    return 0;
}

qint64 residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList namesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

class TestSettingsOddFiles : public QObject
{
    Q_OBJECT
private:
    QString folder() const { return m_home.configHome() + QStringLiteral("/ZTK Electronics"); }
    SettingsStore &store() { return SettingsStore::instance(); }
    // Checks that the store file holds the record of `n`, as the store's own load reads it.
    void checkRecord(qint32 n)
    {
        SettingsRecord loaded;
        QVERIFY(store().load(loaded));
        QCOMPARE(loaded.TXFrequency, n);
        QCOMPARE(loaded.RT6, recordFor(n).RT6);
    }

    TestStoreHome m_home;
    QTemporaryDir m_scratch;

private slots:
    void initTestCase() { QVERIFY(m_scratch.isValid()); }
    void init();
    void symbolicLink_data();
    void symbolicLink();
    void ownerKeptAsRoot_data();
    void ownerKeptAsRoot();
    void linkToAnotherUsersFileAsRoot_data();
    void linkToAnotherUsersFileAsRoot();
    void notAStoreFile_data();
    void notAStoreFile();
    void damagedLinesCopiedAside_data();
    void damagedLinesCopiedAside();
};

void TestSettingsOddFiles::init()
{
    m_home.removeStore();
    QDir(m_scratch.filePath(QStringLiteral("elsewhere"))).removeRecursively();
    if (store().isFailing()) // end the episode the last test left open
        QVERIFY(store().save(recordFor(0)));
    m_home.removeStore();
    QVERIFY(QDir().mkpath(folder()));
}

void TestSettingsOddFiles::symbolicLink_data()
{
    QTest::addColumn<QString>("link"); // what the store's link says, %1 standing for the scratch folder
    QTest::addColumn<QString>("target"); // where the file is, relative to the scratch folder
    QTest::addColumn<bool>("exists"); // whether the target holds a store already
    QTest::newRow("absolute link") << "%1/elsewhere/kept.ini"
                                   << "elsewhere/kept.ini" << true;
    QTest::newRow("relative link") << "../../elsewhere/kept.ini"
                                   << "elsewhere/kept.ini" << true;
    QTest::newRow("link to a link") << "%1/elsewhere/second-link"
                                    << "elsewhere/kept.ini" << true;
    QTest::newRow("link to a file not made yet") << "%1/elsewhere/new.ini"
                                                 << "elsewhere/new.ini" << false;
}

// A store kept elsewhere and reached through a symbolic link stays there: saves go to the file the
// link leads to, the link stays as it was, and nothing is left beside either.
void TestSettingsOddFiles::symbolicLink()
{
    QFETCH(QString, link);
    QFETCH(QString, target);
    QFETCH(bool, exists);
    const QString scratch = m_scratch.path();
    const QString elsewhere = m_scratch.filePath(QStringLiteral("elsewhere"));
    const QString file = m_scratch.filePath(target);
    QVERIFY(QDir().mkpath(elsewhere));
    if (exists) {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[Ports]\nCOM1=/dev/ttyUSB3\n");
    }
    // The relative link is relative to the store's folder, which sits two levels below the scratch.
    const QString linkText = link.contains(QLatin1String("%1")) ? link.arg(scratch) : link;
    if (link.startsWith(QLatin1String(".."))) {
        QVERIFY(QDir().mkpath(m_scratch.filePath(QStringLiteral("config-home/ZTK Electronics"))));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_scratch.filePath(QStringLiteral("config-home"))));
    }
    auto home = qScopeGuard([&] { qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.configHome())); });
    const QString storeFile = store().filePath();
    if (link.contains(QLatin1String("second-link")))
        QVERIFY(QFile::link(file, m_scratch.filePath(QStringLiteral("elsewhere/second-link"))));
    QVERIFY(QFile::remove(storeFile) || !QFileInfo::exists(storeFile));
    QCOMPARE(::symlink(QFile::encodeName(linkText).constData(), QFile::encodeName(storeFile).constData()), 0);
    const QStringList besideLink = namesIn(QFileInfo(storeFile).absolutePath());

    QVERIFY(store().save(recordFor(7)));
    QVERIFY(store().save(recordFor(8)));

    QVERIFY(QFileInfo(storeFile).isSymLink());
    char now[4096];
    const ssize_t n = ::readlink(QFile::encodeName(storeFile).constData(), now, sizeof now);
    QCOMPARE(QByteArray(now, int(qMax<ssize_t>(n, 0))), QFile::encodeName(linkText));
    QVERIFY(!QFileInfo(file).isSymLink());
    const QByteArray onDisk = fileBytes(file);
    QVERIFY2(onDisk.contains("\nTXFrequency=8\n"), onDisk.left(200).constData());
    QCOMPARE(onDisk.contains("COM1=/dev/ttyUSB3"), exists);
    checkRecord(8);
    QCOMPARE(store().groupValue(QStringLiteral("Ports"), QStringLiteral("COM1")),
        exists ? QStringLiteral("/dev/ttyUSB3") : QString());
    // No temporary file stays, beside the link nor beside the file.
    QCOMPARE(namesIn(QFileInfo(storeFile).absolutePath()), besideLink);
    QStringList expected { QFileInfo(file).fileName() };
    if (link.contains(QLatin1String("second-link")))
        expected << QStringLiteral("second-link");
    expected.sort();
    QCOMPARE(namesIn(elsewhere), expected);
    QFile::remove(storeFile);
}

void TestSettingsOddFiles::ownerKeptAsRoot_data()
{
    QTest::addColumn<bool>("fileExists"); // the store file is there, the operator's
    QTest::addColumn<bool>("folderExists"); // its folder is there, the operator's
    QTest::newRow("the operator's store") << true << true;
    QTest::newRow("a new store in the operator's folder") << false << true;
    QTest::newRow("a new folder in the operator's config folder") << false << false;
}

// The panel run as root with the operator's home (to reach the port) must not take the operator's
// store from them: the file keeps its owner, group and mode; a file or folder it makes takes the
// owner of the folder it is made in.
void TestSettingsOddFiles::ownerKeptAsRoot()
{
    if (::geteuid() != 0)
        QSKIP("only root can save a file of another user");
    QFETCH(bool, fileExists);
    QFETCH(bool, folderExists);
    const QByteArray configHome = QFile::encodeName(m_home.configHome());
    const QByteArray dir = QFile::encodeName(folder());
    const QByteArray file = QFile::encodeName(m_home.storeFile());
    // The operator's config folder, in a temporary folder the operator may pass through.
    const QByteArray above = QFile::encodeName(QFileInfo(m_home.configHome()).absolutePath());
    struct stat aboveBefore;
    QCOMPARE(::stat(above.constData(), &aboveBefore), 0);
    QCOMPARE(::chmod(above.constData(), 0711), 0);
    QCOMPARE(::chown(configHome.constData(), kOperator, kOperatorGroup), 0);
    auto back = qScopeGuard([&] {
        ::chown(configHome.constData(), 0, 0);
        ::chmod(above.constData(), aboveBefore.st_mode & 07777);
    });
    if (!folderExists)
        QVERIFY(QDir(folder()).removeRecursively());
    else
        QCOMPARE(::chown(dir.constData(), kOperator, kOperatorGroup), 0);
    if (fileExists) {
        m_home.writeStore("[Ports]\nCOM1=/dev/ttyUSB0\n");
        QCOMPARE(::chown(file.constData(), kOperator, kOperatorGroup), 0);
        QCOMPARE(::chmod(file.constData(), 0640), 0);
    }

    QVERIFY(store().save(recordFor(3)));
    QVERIFY(store().addMissingGroupKeys(QStringLiteral("Ports"), { { "COM2", "/dev/ttyUSB1" } }));

    struct stat st;
    QCOMPARE(::stat(file.constData(), &st), 0);
    QCOMPARE(st.st_uid, kOperator);
    QCOMPARE(st.st_gid, kOperatorGroup);
    QCOMPARE(st.st_mode & 07777, mode_t(fileExists ? 0640 : 0600));
    QCOMPARE(::stat(dir.constData(), &st), 0);
    QCOMPARE(st.st_uid, kOperator);
    QCOMPARE(st.st_gid, kOperatorGroup);
    checkRecord(3);

    // The operator can still save after root did.
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(kOperatorGroup) != 0 || ::setuid(kOperator) != 0)
            ::_exit(2);
        QString error;
        ::_exit(durable_file::replace(m_home.storeFile(), "[Ports]\nCOM1=/dev/ttyUSB5\n", &error) ? 0 : 1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QCOMPARE(fileBytes(m_home.storeFile()), QByteArray("[Ports]\nCOM1=/dev/ttyUSB5\n"));
}

void TestSettingsOddFiles::linkToAnotherUsersFileAsRoot_data()
{
    QTest::addColumn<bool>("operatorsFolder"); // the link lies in the operator's folder (else root's)
    QTest::addColumn<bool>("targetExists");
    QTest::newRow("the operator's link to root's file") << true << true;
    QTest::newRow("the operator's link to a file not made yet in root's folder") << true << false;
    QTest::newRow("root's link to the operator's file") << false << true;
}

// Run as root (sudo -E, to reach the port), a store that is a symbolic link to a file of another
// user than the owner of the link's folder (a system file, say) is refused as any file that cannot
// be a store is: the load tells so once and gives the defaults, no save writes, the refusal is told
// once, and the file the link leads to stays as it was, and where it was not, is not made.
void TestSettingsOddFiles::linkToAnotherUsersFileAsRoot()
{
    if (::geteuid() != 0)
        QSKIP("only root can follow a link to another user's file");
    QFETCH(bool, operatorsFolder);
    QFETCH(bool, targetExists);
    const uid_t linkSide = operatorsFolder ? kOperator : 0;
    const uid_t targetSide = operatorsFolder ? 0 : kOperator;
    const QByteArray configHome = QFile::encodeName(m_home.configHome());
    const QByteArray dir = QFile::encodeName(folder());
    const QByteArray above = QFile::encodeName(QFileInfo(m_home.configHome()).absolutePath());
    struct stat aboveBefore;
    QCOMPARE(::stat(above.constData(), &aboveBefore), 0);
    QCOMPARE(::chmod(above.constData(), 0711), 0);
    QCOMPARE(::chown(configHome.constData(), linkSide, linkSide), 0);
    QCOMPARE(::chown(dir.constData(), linkSide, linkSide), 0);
    const QString elsewhere = m_scratch.filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(elsewhere));
    QCOMPARE(::chown(QFile::encodeName(elsewhere).constData(), targetSide, targetSide), 0);
    const QString target = elsewhere + QStringLiteral("/passwd");
    const QByteArray content("root:x:0:0:root:/root:/bin/sh\n");
    const QString storeFile = m_home.storeFile();
    auto back = qScopeGuard([&] {
        QFile::remove(storeFile);
        ::chown(configHome.constData(), 0, 0);
        ::chown(dir.constData(), 0, 0);
        ::chmod(above.constData(), aboveBefore.st_mode & 07777);
    });
    if (targetExists) {
        QFile f(target);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(content), qint64(content.size()));
        f.close();
        QCOMPARE(::chown(QFile::encodeName(target).constData(), targetSide, targetSide), 0);
        QCOMPARE(::chmod(QFile::encodeName(target).constData(), 0644), 0);
    }
    QCOMPARE(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(storeFile).constData()), 0);
    struct stat before {
    };
    if (targetExists)
        QCOMPARE(::stat(QFile::encodeName(target).constData(), &before), 0);

    QSignalSpy problems(&store(), &SettingsStore::loadProblem);
    QSignalSpy failures(&store(), &SettingsStore::saveFailed);
    SettingsRecord loaded = recordFor(1);
    QVERIFY(!store().load(loaded));
    QCOMPARE(loaded.TXFrequency, settings_table::defaults().TXFrequency);
    QCOMPARE(problems.size(), 1);
    const QString problem = problems.first().first().toString();
    QVERIFY2(
        problem.contains(storeFile) && problem.contains(QLatin1String("another user")), qPrintable(problem));
    QVERIFY(!store().save(recordFor(2)));
    QVERIFY(!store().save(recordFor(3)));
    QVERIFY(!store().addMissingGroupKeys(QStringLiteral("Ports"), { { "COM2", "/dev/ttyUSB1" } }));
    QCOMPARE(failures.size(), 1);
    const QString failure = failures.first().first().toString();
    QVERIFY2(
        failure.contains(storeFile) && failure.contains(QLatin1String("another user")), qPrintable(failure));
    QCOMPARE(problems.size(), 1);

    // Nothing touched: the file the link leads to, the link, and nothing left beside either.
    QVERIFY(QFileInfo(storeFile).isSymLink());
    QCOMPARE(namesIn(folder()), QStringList { QStringLiteral("ValtronaAmp+.ini") });
    if (targetExists) {
        QCOMPARE(fileBytes(target), content);
        struct stat after;
        QCOMPARE(::stat(QFile::encodeName(target).constData(), &after), 0);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_uid, targetSide);
        QCOMPARE(after.st_mode & 07777, mode_t(0644));
        QCOMPARE(namesIn(elsewhere), QStringList { QStringLiteral("passwd") });
    } else {
        QCOMPARE(namesIn(elsewhere), QStringList());
    }
}

void TestSettingsOddFiles::notAStoreFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("said"); // what the messages say of it
    QTest::newRow("named pipe") << "fifo"
                                << "a named pipe";
    QTest::newRow("link to /dev/zero") << "/dev/zero"
                                       << "a device";
    QTest::newRow("link to /dev/null") << "/dev/null"
                                       << "a device";
    QTest::newRow("file of 2 MiB") << "large"
                                   << "too large";
    QTest::newRow("file of 1 MiB and a byte") << "just too large"
                                              << "too large";
}

// A path where no store file can be: the load tells so and gives the defaults, no save writes over
// it (a later save that dropped its content would lose it), and neither blocks nor reads without end.
void TestSettingsOddFiles::notAStoreFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, said);
    const QString path = m_home.storeFile();
    const QByteArray native = QFile::encodeName(path);
    QByteArray content;
    if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(native.constData(), 0600), 0);
    } else if (kind.startsWith(u'/')) {
        QCOMPARE(::symlink(QFile::encodeName(kind).constData(), native.constData()), 0);
    } else {
        // A good record with a long comment: all of it would load, were it not so large.
        const qint64 size = kind == QLatin1String("large") ? 2 << 20 : durable_file::kMaxReadBytes + 1;
        content = "[ValtronaAmp%2B]\nTXFrequency=1079000\n;";
        content += QByteArray(size - content.size() - 1, 'x') + '\n';
        m_home.writeStore(content);
        QCOMPARE(QFileInfo(path).size(), size);
    }

    QProcess child;
    child.setProgram(QCoreApplication::applicationFilePath());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kChildVariable, QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.start();
    QVERIFY(child.waitForStarted());
    // A load that blocks or reads a device without end is stopped, and fails the test.
    QDeadlineTimer deadline(60000);
    qint64 peakKiB = 0;
    while (!child.waitForFinished(50)) {
        peakKiB = qMax(peakKiB, residentKiB(child.processId()));
        if (deadline.hasExpired() || peakKiB > 256 * 1024) {
            child.kill();
            child.waitForFinished();
            QFAIL(qPrintable(QStringLiteral("the load did not return (%1 KiB resident)").arg(peakKiB)));
        }
    }
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    const QStringList lines = QString::fromLocal8Bit(child.readAllStandardOutput()).split(u'\n');
    QCOMPARE(lines.value(0), QStringLiteral("loaded=0"));
    QVERIFY2(lines.value(1).contains(path) && lines.value(1).contains(said), qPrintable(lines.value(1)));
    QCOMPARE(lines.value(2), QStringLiteral("TXFrequency=%1").arg(settings_table::defaults().TXFrequency));
    QCOMPARE(lines.value(3), QStringLiteral("saved=0"));
    QVERIFY2(lines.value(4).contains(path) && lines.value(4).contains(said), qPrintable(lines.value(4)));

    // Left as it was.
    struct stat st;
    QCOMPARE(::lstat(native.constData(), &st), 0);
    if (kind == QLatin1String("fifo")) {
        QVERIFY(S_ISFIFO(st.st_mode));
    } else if (kind.startsWith(u'/')) {
        QVERIFY(S_ISLNK(st.st_mode));
        QCOMPARE(QFileInfo(path).symLinkTarget(), kind);
    } else {
        QCOMPARE(fileBytes(path), content);
    }
    QCOMPARE(namesIn(folder()), QStringList { QStringLiteral("ValtronaAmp+.ini") });
    QFile::remove(path);
}

void TestSettingsOddFiles::damagedLinesCopiedAside_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("firstDamaged");
    const QByteArray good = "[ValtronaAmp%2B]\nTreble=3\n";
    QTest::newRow("a line without =") << good + "Bass 4\n[Ports]\nCOM1=/dev/ttyUSB2\n" << 3;
    QTest::newRow("a quote that never closes") << good + "RT6=\"Radio\n[Ports]\nCOM1=/dev/ttyUSB2\n" << 3;
    QTest::newRow("a group without ]") << "[Ports\nCOM1=/dev/ttyUSB2\n" + good << 1;
    QByteArray noise(3000, '\0');
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 7919) % 251 + 1);
    noise.replace('[', '{');
    QTest::newRow("random bytes") << good + noise << 3;
}

// Lines a load cannot read are left out by the next save: before that, the file as it was is kept
// beside the store, once, and the message names the copy.
void TestSettingsOddFiles::damagedLinesCopiedAside()
{
    QFETCH(QByteArray, file);
    QFETCH(int, firstDamaged);
    m_home.writeStore(file);
    QSignalSpy problems(&store(), &SettingsStore::loadProblem);
    SettingsRecord record;
    QVERIFY(!store().load(record));
    QCOMPARE(problems.count(), 1);
    QCOMPARE(namesIn(folder()), QStringList { QStringLiteral("ValtronaAmp+.ini") }); // a load copies nothing

    record.TXFrequency = 1079000;
    QVERIFY(store().save(record));
    QStringList names = namesIn(folder());
    names.removeAll(QStringLiteral("ValtronaAmp+.ini"));
    QCOMPARE(names.size(), 1);
    const QString copy = folder() + u'/' + names.first();
    QVERIFY2(names.first().startsWith(QStringLiteral("ValtronaAmp+.ini.damaged-")
                 + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"))),
        qPrintable(names.first()));
    QCOMPARE(fileBytes(copy), file);
    QCOMPARE(problems.count(), 2);
    const QString text = problems.at(1).at(0).toString();
    QVERIFY2(
        text.contains(copy) && text.contains(QStringLiteral("line %1").arg(firstDamaged)), qPrintable(text));

    // The store is clean now: later saves copy nothing more.
    QVERIFY(store().load(record));
    record.TXFrequency = 1080000;
    QVERIFY(store().save(record));
    QVERIFY(store().addMissingGroupKeys(QStringLiteral("Ports"), { { "COM3", "/dev/ttyS3" } }));
    QCOMPARE(namesIn(folder()).size(), 2);
    QCOMPARE(problems.count(), 2);
    QCOMPARE(fileBytes(copy), file);
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(kChildVariable))
        return runChild();
    QCoreApplication app(argc, argv);
    TestSettingsOddFiles test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_settings_oddfiles.moc"
