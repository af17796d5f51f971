#include "settings/ini_document.h"

#include "settings/ini_text.h"

#include <QSet>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// One line of the file: [start, end) including a trailing comment, [start, contentEnd) without it.
struct RawLine {
    qsizetype start = 0;
    qsizetype contentEnd = 0;
    qsizetype end = 0;
    qsizetype equals = -1;
    bool comment = false;
    bool unclosedQuote = false; // a quote that no later character closes
    bool escapeAtEnd = false; // a '\' whose escape a save's line break after the line would change
};

// Finds the next line as QSettings delimits them: blank lines are skipped, a quoted value may run
// over several lines, a '\' at the end of a line continues it, a ';' outside quotes starts a comment.
// A quote that is never closed would swallow the rest of the file (and everything a save puts
// after it): such a line ends at its own line break instead.
bool nextLine(QByteArrayView d, qsizetype &pos, RawLine &line)
{
    const qsizetype n = d.size();
    while (pos < n && isBlank(d.at(pos)))
        ++pos;
    if (pos >= n)
        return false;
    line = RawLine {};
    line.start = pos;
    qsizetype i = pos;
    if (d.at(i) == ';') {
        line.comment = true;
    } else {
        bool inQuotes = false;
        qsizetype escapedCrEnd = -1; // just after the last "\r" escaped on its own
        while (i < n) {
            const char c = d.at(i);
            if ((c == '\n' || c == '\r') && !inQuotes)
                break;
            if (c == ';' && !inQuotes)
                break;
            ++i;
            if (c == '=' && !inQuotes && line.equals < 0) {
                line.equals = i - 1;
            } else if (c == '"') {
                inQuotes = !inQuotes;
            } else if (c == '\\' && i < n) {
                const char e = d.at(i++);
                if (i < n && ((e == '\n' && d.at(i) == '\r') || (e == '\r' && d.at(i) == '\n')))
                    ++i;
                else if (e == '\r')
                    escapedCrEnd = i;
            } else if (c == '\\') {
                line.escapeAtEnd = true;
            }
        }
        if (inQuotes) {
            // Cut at the first line break instead. A '\' left last on the cut line would escape the
            // line break a save writes after it, as one ending the file would.
            line.unclosedQuote = true;
            line.escapeAtEnd = false;
            escapedCrEnd = -1;
            i = pos;
            while (i < n && d.at(i) != '\n' && d.at(i) != '\r') {
                if (d.at(i) == '\\' && (i + 1 == n || d.at(i + 1) == '\n' || d.at(i + 1) == '\r'))
                    line.escapeAtEnd = true;
                else if (d.at(i) == '\\')
                    ++i;
                ++i;
            }
        }
        // A line that ends with an escaped "\r" would take the '\n' a save writes after it into the
        // escape, as "\r\n", and run on into the next line.
        if (escapedCrEnd == i && (i == n || d.at(i) == '\r'))
            line.escapeAtEnd = true;
    }
    line.contentEnd = i;
    while (i < n && d.at(i) != '\n' && d.at(i) != '\r')
        ++i;
    line.end = i;
    pos = i;
    return true;
}

QString sectionName(QByteArrayView inner)
{
    const QByteArrayView name = inner.trimmed();
    if (name.compare("general", Qt::CaseInsensitive) == 0)
        return {};
    if (name.compare("%general", Qt::CaseInsensitive) == 0)
        return QString::fromLatin1(name.sliced(1));
    return ini_text::unescapedName(name);
}

} // namespace

IniDocument IniDocument::parse(QByteArrayView bytes)
{
    IniDocument doc;
    if (bytes.startsWith("\xef\xbb\xbf")) // a byte-order mark left by an editor
        bytes = bytes.sliced(3);
    doc.m_sections.push_back(Section {});
    qsizetype pos = 0;
    RawLine raw;
    while (nextLine(bytes, pos, raw)) {
        const QByteArrayView content = bytes.sliced(raw.start, raw.contentEnd - raw.start);
        QByteArray whole = bytes.sliced(raw.start, raw.end - raw.start).toByteArray();
        // A '\' that ends the file would escape the line break a save writes after the line (and
        // one before a "\r" that ends it would escape it as "\r\n"), and the next load would read
        // the line on into the one after it: taken as that line break escaped already, which is
        // what every later load reads.
        qsizetype contentEnd = raw.contentEnd - raw.start;
        if (raw.escapeAtEnd) {
            whole += '\n';
            ++contentEnd;
        }
        if (raw.comment) {
            doc.m_sections.back().lines.push_back(Line { whole, {}, -1, -1 });
        } else if (content.startsWith('[')) {
            const qsizetype close = content.indexOf(']');
            if (close < 0) {
                // Taken as a group name up to the end of the line; written back with its ']'.
                const QString name = sectionName(content.sliced(1));
                doc.m_sections.push_back(Section { name, '[' + ini_text::escapedName(name) + ']', {} });
                if (!doc.m_firstDamagedLine)
                    doc.m_firstDamagedLine = int(bytes.first(raw.start).count('\n')) + 1;
            } else {
                doc.m_sections.push_back(Section { sectionName(content.sliced(1, close - 1)), whole, {} });
            }
        } else if (raw.equals < 0 || raw.unclosedQuote) {
            // Not a setting: dropped, so that the next save leaves a clean file.
            if (!doc.m_firstDamagedLine)
                doc.m_firstDamagedLine = int(bytes.first(raw.start).count('\n')) + 1;
        } else {
            const qsizetype eq = raw.equals - raw.start;
            const QString key = ini_text::unescapedName(content.first(eq).trimmed());
            doc.m_sections.back().lines.push_back(Line { whole, key, eq + 1, contentEnd });
        }
    }
    doc.reindex();
    return doc;
}

void IniDocument::reindex()
{
    m_index.clear();
    for (size_t s = 0; s < m_sections.size(); ++s) {
        QHash<QString, QPair<size_t, size_t>> &keys = m_index[m_sections[s].name];
        const std::vector<Line> &lines = m_sections[s].lines;
        for (size_t l = 0; l < lines.size(); ++l) {
            if (lines[l].valueAt >= 0 && !lines[l].key.isEmpty())
                keys.insert(lines[l].key, qMakePair(s, l));
        }
    }
}

bool IniDocument::contains(const QString &group, const QString &key) const
{
    const auto g = m_index.constFind(group);
    return g != m_index.cend() && g->contains(key);
}

QString IniDocument::value(const QString &group, const QString &key, const QString &fallback) const
{
    const auto g = m_index.constFind(group);
    if (g == m_index.cend())
        return fallback;
    const auto where = g->constFind(key);
    if (where == g->cend())
        return fallback;
    const Line &line = m_sections[where->first].lines[where->second];
    return ini_text::unescapedValue(
        QByteArrayView(line.raw).sliced(line.valueAt, line.valueEnd - line.valueAt));
}

IniDocument::Line IniDocument::settingLine(const QString &key, const QString &value)
{
    Line line;
    line.raw = ini_text::escapedName(key);
    line.raw += '=';
    line.valueAt = line.raw.size();
    ini_text::appendEscapedValue(value, line.raw);
    line.valueEnd = line.raw.size();
    line.key = key;
    return line;
}

IniDocument::Section &IniDocument::sectionFor(const QString &group)
{
    for (Section &section : m_sections) {
        if (section.name == group)
            return section;
    }
    m_sections.push_back(Section { group, '[' + ini_text::escapedName(group) + ']', {} });
    return m_sections.back();
}

void IniDocument::replaceKeys(const QString &group, const Entries &entries)
{
    QSet<QString> written;
    written.reserve(entries.size());
    for (const auto &entry : entries)
        written.insert(entry.first);

    Section &first = sectionFor(group);
    std::vector<Line> lines;
    lines.reserve(size_t(entries.size()) + first.lines.size());
    for (const auto &entry : entries)
        lines.push_back(settingLine(entry.first, entry.second));
    for (Section &section : m_sections) {
        if (section.name != group)
            continue;
        std::vector<Line> kept;
        for (Line &line : section.lines) {
            if (line.valueAt < 0 || !written.contains(line.key))
                kept.push_back(std::move(line));
        }
        if (&section == &first)
            lines.insert(lines.end(), kept.begin(), kept.end());
        else
            section.lines = std::move(kept);
    }
    first.lines = std::move(lines);
    reindex();
}

void IniDocument::appendKeys(const QString &group, const Entries &entries)
{
    Section &section = sectionFor(group);
    for (const auto &entry : entries)
        section.lines.push_back(settingLine(entry.first, entry.second));
    reindex();
}

QByteArray IniDocument::toBytes() const
{
    QByteArray out;
    qsizetype estimate = 0;
    for (const Section &section : m_sections) {
        estimate += section.header.size() + 2;
        for (const Line &line : section.lines)
            estimate += line.raw.size() + 1;
    }
    out.reserve(estimate);
    for (const Section &section : m_sections) {
        if (section.header.isEmpty() && section.lines.empty())
            continue;
        if (!out.isEmpty())
            out += '\n';
        if (!section.header.isEmpty()) {
            out += section.header;
            out += '\n';
        }
        for (const Line &line : section.lines) {
            out += line.raw;
            out += '\n';
        }
    }
    // A first line that starts with the bytes of a byte-order mark (a key typed so, found after
    // the file's own mark or a blank line) would lose them to the next load, which drops a mark at
    // the start of the file: a blank line ahead keeps them part of the line.
    if (out.startsWith("\xef\xbb\xbf"))
        out.prepend('\n');
    return out;
}
