#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QTemporaryDir>

// Gives a test program a settings store of its own: XDG_CONFIG_HOME, XDG_DATA_HOME (the history
// file) and HOME point into a temporary folder for the life of the object, so no test reads or
// writes the real user's files. A folder that cannot be made stops the program.
// Create it before anything touches the store (first line of initTestCase, or a global). The
// benchmarks use it too, with the folder on a disk of their choosing.
class TestStoreHome
{
public:
    // `base` empty: the system's temporary folder.
    explicit TestStoreHome(const QString &base = {});
    ~TestStoreHome();
    TestStoreHome(const TestStoreHome &) = delete;
    TestStoreHome &operator=(const TestStoreHome &) = delete;

    bool isValid() const { return m_dir.isValid(); } // always, once constructed
    QString path() const { return m_dir.path(); } // the temporary folder itself
    QString configHome() const; // the XDG_CONFIG_HOME in force
    QString dataHome() const; // the XDG_DATA_HOME in force
    QString homeFolder() const; // the HOME in force
    QString storeFile() const; // <configHome>/ZTK Electronics/ValtronaAmp+.ini
    void removeStore(); // deletes the store file (and its folder's leftovers)

    // The text of the store file on disk, read from the file itself (not through QSettings).
    QByteArray storeBytes() const;
    // Writes `bytes` as the store file, creating its folder.
    bool writeStore(const QByteArray &bytes) const;
    // Removes the store and writes `bytes` in its place.
    bool replaceStore(const QByteArray &bytes);

    // The record's group as another reader finds it on disk: a copy of the file, read by QSettings
    // (QSettings objects of one process share a cache, which would serve this process's view).
    // Empty when there is no store file.
    QMap<QString, QString> storedRecord() const;
    // The value text of `key` in the record's group, read from the file's bytes as written;
    // `keyCount` gets the number of keys the group holds.
    QByteArray storedText(const QByteArray &key, int *keyCount = nullptr) const;

private:
    QTemporaryDir m_dir;
    QByteArray m_oldXdg, m_oldDataXdg, m_oldHome;
};

// The text of a store file whose port map puts COM 1 on `com1`, with `record` as the lines of the
// record's group (as they stand in the file, each ending in a newline).
QByteArray storeText(const QString &com1, const QByteArray &record = {});
