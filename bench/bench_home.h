#pragma once

#include <QString>
#include <QTemporaryDir>

// A settings store folder of the benchmark's own: XDG_CONFIG_HOME and HOME point into a temporary
// folder under `base` (a real disk by default, not tmpfs) for the life of the object, so no
// measurement ever reads or writes the operator's store.
class BenchHome
{
public:
    // `base` empty: $PANEL_BENCH_DIR, else the system's temporary folder.
    explicit BenchHome(const QString &base = {});
    ~BenchHome();

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString configHome() const { return m_dir.path() + QLatin1String("/config"); }
    QString storeFile() const;
    // Writes `bytes` as the store file, creating its folder.
    bool writeStore(const QByteArray &bytes) const;

private:
    QTemporaryDir m_dir;
    QByteArray m_oldXdg, m_oldHome;
};

// The file system `path` lies on ("ext4", "tmpfs", ... or "0x<magic>").
QString fileSystemOf(const QString &path);
