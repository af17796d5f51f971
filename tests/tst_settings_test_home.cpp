// The private store home every test relies on (support/test_env.h): when its temporary folder
// cannot be made, the test program stops at once, in the build the tests run in too, instead of
// going on with XDG_CONFIG_HOME at "/config" and writing folders where it was started.
#include "support/test_env.h"

#include <QProcess>
#include <QtTest>

namespace {

const char kChildVariable[] = "SETTINGS_TEST_HOME_CHILD";

// The child: a store home made where the parent said the temporary folder is.
int runChild()
{
    TestStoreHome home;
    QTextStream(stdout) << "made " << home.configHome() << Qt::endl;
    return 0;
}

} // namespace

class TestSettingsTestHome : public QObject
{
    Q_OBJECT
private slots:
    void failsHard_data()
    {
        QTest::addColumn<QString>("tmpdir"); // relative to a scratch folder
        QTest::addColumn<bool>("made");
        QTest::newRow("temporary folder exists") << "tmp" << true;
        QTest::newRow("temporary folder missing") << "missing" << false;
        QTest::newRow("temporary folder is a file") << "file" << false;
    }

    void failsHard()
    {
        QFETCH(QString, tmpdir);
        QFETCH(bool, made);
        QTemporaryDir scratch;
        QVERIFY(scratch.isValid());
        QVERIFY(QDir(scratch.path()).mkpath(QStringLiteral("tmp")));
        QVERIFY(QDir(scratch.path()).mkpath(QStringLiteral("cwd")));
        {
            QFile file(scratch.filePath(QStringLiteral("file")));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }

        QProcess child;
        child.setProgram(QCoreApplication::applicationFilePath());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(kChildVariable, QStringLiteral("1"));
        env.insert(QStringLiteral("TMPDIR"), scratch.filePath(tmpdir));
        child.setProcessEnvironment(env);
        child.setWorkingDirectory(scratch.filePath(QStringLiteral("cwd")));
        child.start();
        QVERIFY(child.waitForFinished(30000));
        const QByteArray out = child.readAllStandardOutput();
        if (made) {
            QCOMPARE(child.exitStatus(), QProcess::NormalExit);
            QCOMPARE(child.exitCode(), 0);
            QVERIFY2(out.startsWith("made " + QFile::encodeName(scratch.filePath(QStringLiteral("tmp")))),
                out.constData());
        } else {
            QVERIFY2(child.exitStatus() == QProcess::CrashExit || child.exitCode() != 0, out.constData());
            QVERIFY2(!out.contains("made"), out.constData());
            QVERIFY2(child.readAllStandardError().contains("no temporary folder"), "no reason given");
        }
        // Nothing was made where the child was started.
        QCOMPARE(
            QDir(scratch.filePath(QStringLiteral("cwd"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
            QStringList());
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(kChildVariable))
        return runChild();
    QCoreApplication app(argc, argv);
    TestSettingsTestHome test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_settings_test_home.moc"
