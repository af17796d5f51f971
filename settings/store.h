#pragma once

#include "settings/parsed_file.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <functional>

struct SettingsRecord;
class IniDocument;

// The per-user settings store: one INI file, readable by QSettings and editable by hand, at
// $XDG_CONFIG_HOME/ZTK Electronics/ValtronaAmp+.ini, the record's keys in the group ValtronaAmp+.
// A save replaces the whole file atomically and durably (temporary file, every write checked,
// fsync, rename, fsync of the folder), so a crash leaves the old record or the new one, and a save
// that did not put the whole record on disk is reported as failed. Groups other than the record's
// (Ports, anything added by hand) are kept as they are. The file is parsed once and read again only
// when it changed (see ParsedFile); a save checks it once more just before its rename, and a hand
// edit made meanwhile is taken in, the save's own keys applied over it.
class SettingsStore : public QObject
{
    Q_OBJECT
public:
    static SettingsStore &instance();

    // The file, taken from the environment each time (tests point XDG_CONFIG_HOME elsewhere).
    QString filePath() const;

    // Reads every key into `record`, defaults where absent or unconvertible. Returns false when the
    // file exists but could not be read or is damaged; readable keys are still used.
    bool load(SettingsRecord &record);

    // Writes every field of `record` under its key. Returns false, and leaves the file on disk as it
    // was, when the whole record could not be made durable.
    bool save(const SettingsRecord &record);

    // A value of another group (for example "Ports"/"COM1"), or `fallback` when absent.
    QString groupValue(const QString &group, const QString &key, const QString &fallback = {}) const;

    // Adds the keys of `group` that the file does not hold yet, with the given values; keys already
    // present are left untouched. Returns false when the file could not be written.
    bool addMissingGroupKeys(const QString &group, const QList<QPair<QString, QString>> &keysAndValues);

    // Writes the keys of `group` with the given values, in their order at the group's start, at once
    // and durably as a save does; every other line of the file (the record's group included) stays
    // as it is. Returns false, and leaves the file as it was, when the file could not be written.
    bool setGroupKeys(const QString &group, const QList<QPair<QString, QString>> &keysAndValues);

    bool isFailing() const { return m_failing; }

    // How often the file was looked at, read and parsed, for the tests and the benchmarks.
    const ParsedFile::Statistics &fileStatistics() const { return m_file.statistics(); }

    // How many times a save starts again from a file changed under it before it gives up.
    static constexpr int kSaveAttempts = 4;
    // For the tests: run just before a save checks the file for the last time, its temporary file
    // written, so that a test can change the file there.
    void setBeforeRenameCheck(std::function<void()> hook) { m_beforeRenameCheck = std::move(hook); }
    QString lastError() const { return m_lastError; }

signals:
    // Emitted once when saves start failing (an episode), with a text for the operator.
    void saveFailed(const QString &text);
    // Emitted once when a save succeeds again after a failed episode.
    void saveRecovered();
    // Emitted when a load found the file unreadable or damaged, and when a save is about to leave
    // out damaged lines, naming the copy of the file as it was.
    void loadProblem(const QString &text);

public:
    // The two steps of a load and a save between the file and the record, without the file: the
    // record's keys read from a parsed store (defaults where absent or unconvertible), and written
    // into one. The fuzzing of the store runs on these.
    static void readRecord(const IniDocument &doc, SettingsRecord &record);
    static void writeRecord(IniDocument &doc, const SettingsRecord &record);

private:
    SettingsStore() = default;
    void noteSaveResult(bool ok, const QString &error);
    // Replaces the file with `change` applied to what it holds, the save's check before the rename
    // included; `change` answers false when it has nothing to write. False (and the failure noted)
    // when the file exists but cannot be read, holds damaged lines of which no copy could be kept,
    // or could not be replaced.
    bool rewrite(const std::function<bool(IniDocument &)> &change);
    // Whether the file as it stands (`version`) may be written over, the failure noted if not.
    bool rewritable(const QString &path, const ParsedFile::Version &version);
    // Copies a damaged file aside as "<file>.damaged-<date and time>" and tells where.
    bool setAsideDamaged(const QString &path, const QByteArray &bytes, int firstDamagedLine);

    mutable ParsedFile m_file;
    std::function<void()> m_beforeRenameCheck;
    bool m_failing = false;
    QString m_lastError;
    QByteArray m_setAsideDigest; // the content last copied aside, and where
    QString m_setAsidePath;
};

// Fill the process-wide record from the store / write it back whole. They report whether the
// store answered well; the failures also reach SettingsStore's signals.
bool LoadSettings();
bool SaveSettings();
