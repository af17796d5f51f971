#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <vector>

// The store file as groups of lines. It reads what QSettings writes (and what a person may type),
// and when one group is rewritten every other line (other groups, comments, keys added by hand)
// goes back to the file as it was.
class IniDocument
{
public:
    using Entries = QList<QPair<QString, QString>>; // key, value text

    static IniDocument parse(QByteArrayView bytes);

    // Whether some line could not be read (no '=', a '[' with no ']'), and the first such line (1-based).
    bool isDamaged() const { return m_firstDamagedLine > 0; }
    int firstDamagedLine() const { return m_firstDamagedLine; }

    // The value of `key` in `group` ("" is the top level); the last one wins when a key repeats.
    bool contains(const QString &group, const QString &key) const;
    QString value(const QString &group, const QString &key, const QString &fallback = {}) const;

    // Writes `entries` as the group's keys, in their order, where the group first appears (or in a
    // new group at the end); other occurrences of those keys are dropped, other lines are kept.
    void replaceKeys(const QString &group, const Entries &entries);
    // Adds the entries at the end of the group's first occurrence (or of a new group).
    void appendKeys(const QString &group, const Entries &entries);

    QByteArray toBytes() const;

private:
    struct Line {
        QByteArray raw; // as it stands in the file, or as newly written
        QString key; // empty for a comment
        qsizetype valueAt = -1; // where the value starts in `raw`, -1 for a comment
        qsizetype valueEnd = -1; // where it ends (a trailing comment follows)
    };
    struct Section {
        QString name;
        QByteArray header; // the "[...]" line; empty for the lines before the first group
        std::vector<Line> lines;
    };

    Section &sectionFor(const QString &group);
    static Line settingLine(const QString &key, const QString &value);
    void reindex();

    std::vector<Section> m_sections;
    QHash<QString, QHash<QString, QPair<size_t, size_t>>> m_index; // group -> key -> (section, line)
    int m_firstDamagedLine = 0;
};
