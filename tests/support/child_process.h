#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

// Sets `child` up to run this test program again with the environment variable `variable` set,
// which its main() takes as the sign to do the child's part (a save, a loop of saves) instead of the
// tests. With a `fileSizeLimit` above 0 no file the child writes can grow past that many bytes
// (RLIMIT_FSIZE, with SIGXFSZ ignored so that the write fails instead): a disk that fills up in the
// middle of a save. Start it with child.start().
void prepareChild(QProcess &child, const char *variable, qint64 fileSizeLimit = 0);

// The environment for a copy of the panel run as a child: its settings store under `configHome`,
// HOME at `home`, on the Qt platform `platform`.
QProcessEnvironment panelEnvironment(
    const QString &configHome, const QString &home, const QString &platform = QStringLiteral("offscreen"));
