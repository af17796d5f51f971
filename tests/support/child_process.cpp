#include "support/child_process.h"

#include <QCoreApplication>

#include <csignal>
#include <sys/resource.h>

void prepareChild(QProcess &child, const char *variable, qint64 fileSizeLimit)
{
    child.setProgram(QCoreApplication::applicationFilePath());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(variable), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    if (fileSizeLimit > 0) {
        child.setChildProcessModifier([fileSizeLimit] {
            const rlimit rl { rlim_t(fileSizeLimit), rlim_t(fileSizeLimit) };
            ::setrlimit(RLIMIT_FSIZE, &rl);
            ::signal(SIGXFSZ, SIG_IGN);
        });
    }
}

QProcessEnvironment panelEnvironment(const QString &configHome, const QString &home, const QString &platform)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    return env;
}
