// Serial devices that the user may not open, as an unprivileged user meets them: the port check
// tells the operator which group owns the device and what to do about it, and never takes the
// device for a missing port. Root opens every device whatever its mode, so each case runs the port
// check in a child that drops to nobody with setpriv; the test's files live in a folder nobody can
// reach, and the child is a copy of this program placed there.
#include "link/port_check.h"
#include "link/serial_link.h"
#include "settings/record.h"
#include "support/pty_pair.h"
#include "support/test_env.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The child's side: one port check on `device`, as a command of the panel runs it, reported as a
// line of JSON.
int probe(const QString &device)
{
    TestStoreHome home;
    settingsRecord().COMSelected = 1;
    SerialLink link;
    PortCheck check(link);
    int missing = 0;
    QStringList problems;
    QObject::connect(&check, &PortCheck::missingPort, [&missing] { ++missing; });
    QObject::connect(&check, &PortCheck::linkProblem, [&problems](const QString &text) { problems << text; });
    const CheckResult result = check.run(CheckOrigin::Command, 1, device);
    const QJsonObject out { { "uid", int(::getuid()) }, { "ready", result == CheckResult::Ready },
        { "failed", result == CheckResult::Failed },
        { "permission", link.lastFailure() == LinkFailure::Permission },
        { "busy", link.lastFailure() == LinkFailure::Busy }, { "missing", missing },
        { "problems", QJsonArray::fromStringList(problems) } };
    std::fputs(QJsonDocument(out).toJson(QJsonDocument::Compact).constData(), stdout);
    return 0;
}

gid_t groupId(const QString &name)
{
    const struct group *g = ::getgrnam(name.toLocal8Bit().constData());
    return g ? g->gr_gid : gid_t(-1);
}

} // namespace

class TestLinkPermission : public QObject
{
    Q_OBJECT

    TestStoreHome m_home;
    // Under /tmp itself, not TMPDIR: every folder above it must let nobody through.
    QTemporaryDir m_dir { QStringLiteral("/tmp/tst_link_permission-XXXXXX") };
    QString m_probe;
    QString m_setpriv;
    QString m_nobodyPrimaryGroup;

    // The port check on `device` as nobody, with `group` as the only group of the session.
    QJsonObject runProbe(const QString &device, const QString &group)
    {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), m_dir.filePath(QStringLiteral("tmp")));
        child.setProcessEnvironment(env);
        child.start(m_setpriv,
            { QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=") + group,
                QStringLiteral("--clear-groups"), m_probe, QStringLiteral("--probe"), device });
        if (!child.waitForFinished(20000) || child.exitCode() != 0) {
            qWarning("probe failed: %s", child.readAllStandardError().constData());
            return {};
        }
        return QJsonDocument::fromJson(child.readAllStandardOutput()).object();
    }

    // A pseudo-terminal reached through a stable name in the test's folder, owned by root:`group`.
    static bool setOwner(const PtyPair &pty, const QString &group, int mode)
    {
        const QByteArray node = QFile::encodeName(pty.slavePath());
        return groupId(group) != gid_t(-1) && ::chown(node.constData(), 0, groupId(group)) == 0
            && ::chmod(node.constData(), mode_t(mode)) == 0;
    }

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("setting up devices of other groups and dropping to nobody needs root (as in CI); "
                  "tst_link_serial covers a refused device for an ordinary user");
        QVERIFY(m_dir.isValid());
        m_setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        QVERIFY2(!m_setpriv.isEmpty(), "util-linux's setpriv is needed to run as nobody");
        const struct passwd *nobody = ::getpwnam("nobody");
        QVERIFY2(nobody, "the user nobody is needed");
        const struct group *primary = ::getgrgid(nobody->pw_gid);
        QVERIFY(primary);
        m_nobodyPrimaryGroup = QString::fromLocal8Bit(primary->gr_name);

        QCOMPARE(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
        QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("tmp")));
        QCOMPARE(::chmod(QFile::encodeName(m_dir.filePath(QStringLiteral("tmp"))).constData(), 01777), 0);
        // The build folder need not be open to nobody; a copy of this program in ours is.
        m_probe = m_dir.filePath(QStringLiteral("probe"));
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), m_probe));
        QCOMPARE(::chmod(QFile::encodeName(m_probe).constData(), 0755), 0);
    }

    void refusedDevice_data()
    {
        QTest::addColumn<QString>("deviceGroup"); // empty: nobody's primary group
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("sessionGroup"); // empty: nobody's primary group
        QTest::addColumn<QStringList>("wanted");
        QTest::addColumn<QStringList>("unwanted");

        QTest::newRow("not in the device's group") << "dialout" << 0660 << QString()
                                                   << QStringList { "dialout", "you are not in it",
                                                          "sudo usermod -aG dialout $USER", "log in again" }
                                                   << QStringList { "have been added" };
        // The user database makes nobody a member of its primary group; a session without it is one
        // that started before the user was added.
        QTest::newRow("added to the group, not logged in again")
            << QString() << 0660 << "dialout" << QStringList { "have been added", "log out and log in again" }
            << QStringList { "usermod", "you are not in it" };
        QTest::newRow("in the group, but the group may not use it")
            << QString() << 0600 << QString() << QStringList { "which you are in" }
            << QStringList { "usermod", "log in again" };
    }

    void refusedDevice()
    {
        QFETCH(QString, deviceGroup);
        QFETCH(int, mode);
        QFETCH(QString, sessionGroup);
        QFETCH(QStringList, wanted);
        QFETCH(QStringList, unwanted);
        if (deviceGroup.isEmpty())
            deviceGroup = m_nobodyPrimaryGroup;
        if (sessionGroup.isEmpty())
            sessionGroup = m_nobodyPrimaryGroup;

        PtyPair pty(m_dir.filePath(QStringLiteral("ttyUSB-adapter")));
        QVERIFY(pty.isValid());
        QVERIFY2(setOwner(pty, deviceGroup, mode), qPrintable(deviceGroup));

        const QJsonObject out = runProbe(pty.path(), sessionGroup);
        QVERIFY(!out.isEmpty());
        QCOMPARE(out.value("uid").toInt(), int(::getpwnam("nobody")->pw_uid));
        QVERIFY(out.value("failed").toBool());
        QVERIFY(out.value("permission").toBool());
        QCOMPARE(out.value("missing").toInt(), 0);
        const QJsonArray problems = out.value("problems").toArray();
        QCOMPARE(problems.size(), 1);
        const QString text = problems.at(0).toString();
        QVERIFY2(text.contains(pty.path()), qPrintable(text));
        QVERIFY2(text.contains(deviceGroup), qPrintable(text));
        QVERIFY2(!text.contains(QLatin1String("does not exist")), qPrintable(text));
        for (const QString &w : wanted)
            QVERIFY2(text.contains(w), qPrintable(QStringLiteral("%1 lacks \"%2\"").arg(text, w)));
        for (const QString &u : unwanted)
            QVERIFY2(!text.contains(u), qPrintable(QStringLiteral("%1 has \"%2\"").arg(text, u)));
    }

    // A device the user may use, held by another program: that is what the operator is told, not
    // a permission problem and not a missing port.
    void heldDeviceIsInUse()
    {
        PtyPair pty(m_dir.filePath(QStringLiteral("ttyACM-held")));
        QVERIFY(pty.isValid());
        QVERIFY(setOwner(pty, m_nobodyPrimaryGroup, 0666));
        SerialLink holder;
        QCOMPARE(holder.open(1, pty.path()), LinkFailure::None);

        const QJsonObject out = runProbe(pty.path(), m_nobodyPrimaryGroup);
        QVERIFY(!out.isEmpty());
        QVERIFY(out.value("failed").toBool());
        QVERIFY(out.value("busy").toBool());
        QCOMPARE(out.value("missing").toInt(), 0);
        const QString text = out.value("problems").toArray().at(0).toString();
        QVERIFY2(text.contains(QLatin1String("in use by another program")), qPrintable(text));
        QVERIFY2(text.contains(pty.path()), qPrintable(text));
        QVERIFY2(!text.contains(QLatin1String("usermod")), qPrintable(text));

        // Let go, the same child opens it: the refusal was the holder's doing.
        holder.close();
        QVERIFY(runProbe(pty.path(), m_nobodyPrimaryGroup).value("ready").toBool());
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--probe") == 0)
        return probe(QString::fromLocal8Bit(argv[2]));
    TestLinkPermission test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_link_permission.moc"
