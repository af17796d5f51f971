// The one-copy rule against what other programs and other users may put in its way: its socket
// and lock live in a folder only the user may enter, a listener of another user is never taken
// for a running copy, an answer that trickles or floods is cut at one deadline and a few bytes,
// and when the rule cannot be kept the panel runs and says why.
//
// Other users are played by child processes that take the id of "nobody" (so those cases need
// root, as the tests run). The temporary folder (TMPDIR) is one of the test's own.
#include "ui/single_instance.h"

#include "support/sim_process.h"
#include "support/test_env.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QtTest>

#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uid_t kStranger = 65534; // nobody

// What a listener in a child process does with a connection.
enum class Listener {
    AnswersFront, // says "front" to the request, as a running copy would
    Trickles, // one byte every 50 ms, never a line end, for up to a minute
    Floods // a megabyte without a line end
};

// A child process listening on a local socket: as `uid`, at `path` (made with `mode` for its
// folder when `folder` is given). Stopped with the object.
class ChildListener
{
public:
    ChildListener(const QString &path, uid_t uid, Listener behaviour, const QString &folder = {})
    {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        const QByteArray socketPath = QFile::encodeName(path);
        const QByteArray folderPath = QFile::encodeName(folder);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(ready[0]);
            if (uid != ::getuid() && (::setgid(uid) != 0 || ::setuid(uid) != 0))
                ::_exit(2);
            if (!folderPath.isEmpty() && ::mkdir(folderPath.constData(), 0777) != 0)
                ::_exit(3);
            if (!folderPath.isEmpty())
                ::chmod(folderPath.constData(), 0777);
            const int server = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address {};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, socketPath.constData(), sizeof address.sun_path - 1);
            if (server < 0 || ::bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
                || ::listen(server, 8) != 0)
                ::_exit(4);
            [[maybe_unused]] ssize_t n = ::write(ready[1], "r", 1);
            ::signal(SIGPIPE, SIG_IGN);
            while (true) {
                const int client = ::accept(server, nullptr, nullptr);
                if (client < 0)
                    continue;
                if (behaviour == Listener::AnswersFront) {
                    char request[16];
                    n = ::read(client, request, sizeof request); // "front?\n" in one piece, locally
                    n = ::write(client, "front\n", 6);
                } else if (behaviour == Listener::Trickles) {
                    for (int i = 0; i < 1200 && ::write(client, "f", 1) == 1; ++i)
                        ::usleep(50000);
                } else {
                    static char block[65536];
                    std::memset(block, 'x', sizeof block);
                    for (int i = 0; i < 16 && ::write(client, block, sizeof block) > 0; ++i) { }
                }
                ::close(client);
            }
        }
        ::close(ready[1]);
        char c = 0;
        m_listening = m_pid > 0 && ::read(ready[0], &c, 1) == 1;
        ::close(ready[0]);
    }
    ~ChildListener()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    bool isListening() const { return m_listening; }

private:
    pid_t m_pid = -1;
    bool m_listening = false;
};

// The name the socket had in the shared temporary folder, which anyone could compute.
QString sharedName(const QString &storePath)
{
    const QByteArray hash
        = QCryptographicHash::hash(QFile::encodeName(storePath), QCryptographicHash::Sha256).toHex().left(16);
    return QDir::tempPath()
        + QStringLiteral("/valtrona-panel-%1-%2").arg(::getuid()).arg(QLatin1String(hash));
}

// Asks the server at `name` as a second copy would, and returns its answer line; `peer` is the
// user id of the listener.
QByteArray ask(const QString &name, uid_t *peer = nullptr)
{
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(3000))
        return "<no connection>";
    struct ucred credentials {
    };
    socklen_t size = sizeof credentials;
    if (peer)
        *peer
            = ::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0
            ? credentials.uid
            : uid_t(-1);
    socket.write("front?\n");
    while (!socket.canReadLine() && socket.waitForReadyRead(3000)) { }
    return socket.readLine().trimmed();
}

// The same from a thread of its own, while this thread's event loop lets a server here answer.
QByteArray askFromThread(const QString &name)
{
    QByteArray answer;
    std::unique_ptr<QThread> thread(QThread::create([&] { answer = ask(name); }));
    thread->start();
    waitUntil([&] { return thread->isFinished(); }, 15000);
    thread->wait();
    return answer;
}

} // namespace

Q_DECLARE_METATYPE(Listener)

class TestUiSingleInstance : public QObject
{
    Q_OBJECT
private:
    QString runtime() const { return m_dir.filePath(QStringLiteral("runtime")); }
    QString temp() const { return m_dir.filePath(QStringLiteral("tmp")); }
    QString fallback() const { return temp() + QStringLiteral("/valtrona-panel-%1").arg(::getuid()); }
    QString store() const { return m_home.storeFile(); }
    void needRoot()
    {
        if (::geteuid() != 0)
            QSKIP("another user is played by a process that changes its user id, which needs root");
    }

    TestStoreHome m_home;
    QTemporaryDir m_dir;
    QByteArray m_oldTmp, m_oldRuntime;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_oldTmp = qgetenv("TMPDIR");
        m_oldRuntime = qgetenv("XDG_RUNTIME_DIR");
        // Others may pass through to the shared temporary folder, as they may to /tmp.
        QCOMPARE(::chmod(QFile::encodeName(m_dir.path()).constData(), 0711), 0);
        QVERIFY(QDir().mkpath(temp()));
        QCOMPARE(::chmod(QFile::encodeName(temp()).constData(), 01777), 0);
        qputenv("TMPDIR", QFile::encodeName(temp()));
    }

    void init()
    {
        // A fresh runtime folder of this user's, and an empty temporary folder.
        QDir(runtime()).removeRecursively();
        QVERIFY(QDir().mkpath(runtime()));
        QCOMPARE(::chmod(QFile::encodeName(runtime()).constData(), 0700), 0);
        for (const QFileInfo &entry :
            QDir(temp()).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)) {
            if (entry.isDir() && !entry.isSymLink())
                QDir(entry.filePath()).removeRecursively();
            else
                QFile::remove(entry.filePath());
        }
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime()));
    }

    void cleanupTestCase()
    {
        qputenv("TMPDIR", m_oldTmp);
        qputenv("XDG_RUNTIME_DIR", m_oldRuntime);
    }

    void privateFolder_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("runtimeUsed");
        QTest::newRow("runtime folder") << "runtime" << true;
        QTest::newRow("no runtime folder") << "unset" << false;
        QTest::newRow("runtime folder others may write in") << "open" << false;
        QTest::newRow("runtime folder of another user") << "stranger" << false;
        QTest::newRow("runtime folder given relative") << "relative" << false;
    }

    // The socket and its lock are in the runtime folder, or else in a folder of the panel's own
    // that only the user may enter; never in the shared temporary folder itself.
    void privateFolder()
    {
        QFETCH(QString, setup);
        QFETCH(bool, runtimeUsed);
        const QByteArray folder = QFile::encodeName(runtime());
        if (setup == QLatin1String("unset"))
            qunsetenv("XDG_RUNTIME_DIR");
        else if (setup == QLatin1String("open"))
            QCOMPARE(::chmod(folder.constData(), 0777), 0);
        else if (setup == QLatin1String("stranger")) {
            needRoot();
            QCOMPARE(::chown(folder.constData(), kStranger, kStranger), 0);
        } else if (setup == QLatin1String("relative"))
            qputenv("XDG_RUNTIME_DIR", "runtime");

        SingleInstance instance(store());
        const QString expected = runtimeUsed ? runtime() : fallback();
        QCOMPARE(QFileInfo(instance.serverName()).absolutePath(), expected);
        QCOMPARE(SingleInstance::serverName(store()), instance.serverName());
        instance.setActivationHandler([] { return true; });
        QCOMPARE(instance.claim(), SingleInstance::Claim::First);
        QVERIFY(instance.guardProblem().isEmpty());

        struct stat st;
        QCOMPARE(::lstat(QFile::encodeName(expected).constData(), &st), 0);
        QVERIFY(S_ISDIR(st.st_mode));
        QCOMPARE(st.st_uid, ::getuid());
        QCOMPARE(st.st_mode & 077, 0u);
        QCOMPARE(QDir(temp()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
            runtimeUsed ? QStringList() : QStringList { QFileInfo(fallback()).fileName() });

        // A second copy finds it there.
        QCOMPARE(askFromThread(instance.serverName()), QByteArray("front"));
    }

    void squatted_data()
    {
        QTest::addColumn<QString>("squat");
        QTest::addColumn<bool>("guarded");
        QTest::newRow("another user listens on the shared name") << "shared name" << true;
        QTest::newRow("another user listens in our runtime folder") << "moved in" << true;
        QTest::newRow("another user made the panel's folder first") << "fallback folder" << false;
        QTest::newRow("the panel's folder is a link to another user's") << "fallback link" << false;
    }

    // Another user cannot keep the panel from running: a listener of theirs is never asked, and
    // when the panel's folder is theirs the panel runs unguarded and says why.
    void squatted()
    {
        needRoot();
        QFETCH(QString, squat);
        QFETCH(bool, guarded);
        std::unique_ptr<ChildListener> stranger;
        if (squat == QLatin1String("shared name")) {
            stranger
                = std::make_unique<ChildListener>(sharedName(store()), kStranger, Listener::AnswersFront);
        } else if (squat == QLatin1String("moved in")) {
            // Bound elsewhere and moved under the panel's name, as only root could.
            const QString elsewhere = temp() + QStringLiteral("/stranger");
            stranger = std::make_unique<ChildListener>(
                elsewhere + QStringLiteral("/socket"), kStranger, Listener::AnswersFront, elsewhere);
            QVERIFY(stranger->isListening());
            QVERIFY(
                QFile::rename(elsewhere + QStringLiteral("/socket"), SingleInstance::serverName(store())));
        } else {
            qunsetenv("XDG_RUNTIME_DIR");
            const QString name = SingleInstance::serverName(store());
            QCOMPARE(QFileInfo(name).absolutePath(), fallback());
            if (squat == QLatin1String("fallback folder")) {
                stranger
                    = std::make_unique<ChildListener>(name, kStranger, Listener::AnswersFront, fallback());
            } else {
                const QString theirs = temp() + QStringLiteral("/theirs");
                stranger = std::make_unique<ChildListener>(
                    theirs + QStringLiteral("/socket"), kStranger, Listener::AnswersFront, theirs);
                QVERIFY(QFile::link(theirs, fallback()));
                QVERIFY(stranger->isListening());
                QVERIFY(QFile::rename(
                    theirs + QStringLiteral("/socket"), theirs + u'/' + QFileInfo(name).fileName()));
            }
        }
        QVERIFY(stranger->isListening());

        SingleInstance instance(store());
        instance.setActivationHandler([] { return false; });
        const SingleInstance::Claim claim = instance.claim();
        if (guarded) {
            QCOMPARE(claim, SingleInstance::Claim::First);
            QVERIFY(instance.guardProblem().isEmpty());
            // This copy answers now, not the stranger.
            QCOMPARE(askFromThread(instance.serverName()), QByteArray("hidden"));
        } else {
            QCOMPARE(claim, SingleInstance::Claim::Unguarded);
            QVERIFY2(instance.guardProblem().contains(fallback()), qPrintable(instance.guardProblem()));
            QVERIFY(instance.answer().isEmpty());
        }
    }

    void unboundedAnswer_data()
    {
        QTest::addColumn<Listener>("behaviour");
        QTest::addColumn<QString>("answer");
        QTest::newRow("a copy that answers") << Listener::AnswersFront << "front";
        QTest::newRow("a byte every 50 ms, no line end") << Listener::Trickles << "";
        QTest::newRow("a megabyte, no line end") << Listener::Floods << "";
    }

    // A listener of this user is a copy, whatever it says; what it says is read up to one short
    // line, within one deadline, however it trickles or floods.
    void unboundedAnswer()
    {
        QFETCH(Listener, behaviour);
        QFETCH(QString, answer);
        const QString name = SingleInstance::serverName(store());
        ChildListener copy(name, ::getuid(), behaviour);
        QVERIFY(copy.isListening());

        SingleInstance instance(store());
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(instance.claim(), SingleInstance::Claim::HandedOver);
        // The trickle goes on for a minute: a claim that waited on it would take that long. The
        // bound is ten times the deadline, far from what a loaded machine adds.
        QVERIFY2(
            timer.elapsed() < 10 * SingleInstance::kAnswerMs, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(instance.answer(), answer);
    }

    // Connections of this user's that never finish their line (a program that connects and says
    // nothing, or half a request) are hung up on once their time is up, and a second copy that asks
    // afterwards is answered as before.
    void idleConnectionsTimeOut()
    {
        SingleInstance instance(store());
        instance.setIdleTimeoutMs(300);
        int activations = 0;
        instance.setActivationHandler([&activations] { return ++activations > 0; });
        QCOMPARE(instance.claim(), SingleInstance::Claim::First);
        std::vector<std::unique_ptr<QLocalSocket>> idle;
        for (const QByteArray &said : { QByteArray(), QByteArray(), QByteArray("front") }) {
            idle.push_back(std::make_unique<QLocalSocket>());
            idle.back()->connectToServer(instance.serverName());
            QVERIFY(idle.back()->waitForConnected(3000));
            idle.back()->write(said);
            idle.back()->flush();
        }
        QVERIFY2(waitUntil(
                     [&] {
                         return std::all_of(idle.begin(), idle.end(), [](const auto &socket) {
                             return socket->state() == QLocalSocket::UnconnectedState;
                         });
                     },
                     15000),
            qPrintable(QStringLiteral("%1 connections still held").arg(instance.connectionsHeld())));
        QCOMPARE(instance.connectionsHeld(), 0);
        QCOMPARE(activations, 0);
        QCOMPARE(askFromThread(instance.serverName()), QByteArray("front"));
        QCOMPARE(activations, 1);
    }

    // However many connect and wait, no more than kMaxConnections are held: the oldest are hung up
    // on to make room, and a second copy's request is still answered.
    void heldConnectionsBounded()
    {
        SingleInstance instance(store());
        instance.setIdleTimeoutMs(600000);
        instance.setActivationHandler([] { return true; });
        QCOMPARE(instance.claim(), SingleInstance::Claim::First);
        const int extra = 4;
        std::vector<std::unique_ptr<QLocalSocket>> idle;
        for (int i = 0; i < SingleInstance::kMaxConnections + extra; ++i) {
            idle.push_back(std::make_unique<QLocalSocket>());
            idle.back()->connectToServer(instance.serverName());
            QVERIFY(idle.back()->waitForConnected(3000));
        }
        const auto dropped = [&] {
            return int(std::count_if(idle.begin(), idle.end(),
                [](const auto &socket) { return socket->state() == QLocalSocket::UnconnectedState; }));
        };
        QVERIFY2(waitUntil([&] { return dropped() == extra; }, 15000),
            qPrintable(
                QStringLiteral("%1 hung up on, %2 held").arg(dropped()).arg(instance.connectionsHeld())));
        QCOMPARE(instance.connectionsHeld(), SingleInstance::kMaxConnections);
        for (int i = 0; i < extra; ++i)
            QCOMPARE(idle[size_t(i)]->state(), QLocalSocket::UnconnectedState); // the oldest
        QCOMPARE(askFromThread(instance.serverName()), QByteArray("front"));
        QVERIFY(instance.connectionsHeld() <= SingleInstance::kMaxConnections);
    }

    // Copies started at the same moment: a claim waits on the start-up lock while another copy
    // holds it, and takes it once that copy lets go. A lock file that nobody holds (left by a copy
    // killed while it claimed) is no obstacle. Neither leaves the lock file behind.
    void startupLock()
    {
        const QString lockFile = SingleInstance::serverName(store()) + QStringLiteral(".lock");
        const int held = ::open(QFile::encodeName(lockFile).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        QVERIFY(held >= 0);
        QCOMPARE(::flock(held, LOCK_EX | LOCK_NB), 0);
        QElapsedTimer timer;
        timer.start();
        std::unique_ptr<QThread> holder(QThread::create([held] {
            QThread::msleep(1000);
            ::close(held);
        }));
        holder->start();
        {
            SingleInstance instance(store());
            QCOMPARE(instance.claim(), SingleInstance::Claim::First);
            // Not before the holder let go (a loaded machine only makes this later).
            QVERIFY2(timer.elapsed() >= 900, qPrintable(QString::number(timer.elapsed())));
            QVERIFY(holder->wait(15000));
            QVERIFY(!QFileInfo::exists(lockFile));
        }

        QFile leftover(lockFile);
        QVERIFY(leftover.open(QIODevice::WriteOnly));
        leftover.write("12345\nvaltrona-panel\n");
        leftover.close();
        SingleInstance instance(store());
        QCOMPARE(instance.claim(), SingleInstance::Claim::First);
        QVERIFY(!QFileInfo::exists(lockFile));
    }

    // The program itself, started while another user listens on the name anyone could compute:
    // it runs and serves its own socket.
    void panelStartsDespiteSquatter()
    {
        needRoot();
        ChildListener stranger(sharedName(store()), kStranger, Listener::AnswersFront);
        QVERIFY(stranger.isListening());
        m_home.writeStore("[Ports]\nCOM1=" + QFile::encodeName(m_dir.filePath("nothing-here"))
            + "\n\n[ValtronaAmp%2B]\nCOMSelected=1\nAutoRead=False\nTrayAtStart=False\n");

        QProcess panel;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        panel.setProcessEnvironment(env);
        panel.setProgram(QStringLiteral(VALTRONA_PANEL_PATH));
        panel.start();
        QVERIFY(panel.waitForStarted(10000));
        auto stop = qScopeGuard([&] {
            panel.kill();
            panel.waitForFinished();
        });
        const QString name = SingleInstance::serverName(store());
        // Until the panel answers from its own socket (not the stranger), or has left.
        QVERIFY2(waitUntil(
                     [&] {
                         uid_t peer = uid_t(-1);
                         return panel.state() != QProcess::Running
                             || (ask(name, &peer) == QByteArray("front") && peer == ::getuid());
                     },
                     15000),
            panel.readAllStandardError().constData());
        QCOMPARE(panel.state(), QProcess::Running);
    }
};

QTEST_MAIN(TestUiSingleInstance)
#include "tst_ui_single_instance.moc"
