#pragma once

#include <QString>
#include <QTemporaryDir>

// Gives a test program a settings store of its own: XDG_CONFIG_HOME, XDG_DATA_HOME (the history
// file) and HOME point into a temporary folder for the life of the object, so no test reads or
// writes the real user's files.
// Create it before anything touches the store (first line of initTestCase, or a global).
class TestStoreHome
{
public:
    TestStoreHome();
    ~TestStoreHome();

    QString configHome() const;          // the XDG_CONFIG_HOME in force
    QString dataHome() const;            // the XDG_DATA_HOME in force
    QString storeFile() const;           // <configHome>/ZTK Electronics/ValtronaAmp+.ini
    void removeStore();                  // deletes the store file (and its folder's leftovers)

    // The text of the store file on disk, read from the file itself (not through QSettings).
    QByteArray storeBytes() const;
    // Writes `bytes` as the store file, creating its folder.
    void writeStore(const QByteArray &bytes) const;

private:
    QTemporaryDir m_dir;
    QByteArray m_oldXdg, m_oldDataXdg, m_oldHome;
};
