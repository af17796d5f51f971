#include "settings/ini_text.h"

#include <QStringDecoder>

namespace ini_text {

namespace {

// UTF-8 bytes as text, a U+FEFF at their start included: QString::fromUtf8 would take it for a
// byte-order mark and drop it, and the bytes decoded here are pieces from inside a line.
QString fromUtf8Piece(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

const char kHex[] = "0123456789ABCDEF";

bool isHexDigit(uint c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int octValue(char c)
{
    return (c >= '0' && c <= '7') ? c - '0' : -1;
}

char simpleEscape(char c)
{
    switch (c) {
    case 'a':
        return '\a';
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    case 'v':
        return '\v';
    case '"':
        return '"';
    case '?':
        return '?';
    case '\'':
        return '\'';
    case '\\':
        return '\\';
    default:
        return 0;
    }
}

void chopTrailingBlanks(QString &s, qsizetype limit)
{
    qsizetype n = s.size();
    while (n > limit && (s.at(n - 1) == QLatin1Char(' ') || s.at(n - 1) == QLatin1Char('\t')))
        --n;
    s.truncate(n);
}

} // namespace

QByteArray escapedName(const QString &name)
{
    QByteArray out;
    out.reserve(name.size() + 8);
    for (QChar qc : name) {
        uint c = qc.unicode();
        if (c == '/') {
            out += '\\';
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'
            || c == '-' || c == '.') {
            out += char(c);
        } else if (c <= 0xFF) {
            out += '%';
            out += kHex[c / 16];
            out += kHex[c % 16];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += kHex[(c >> shift) & 0xF];
        }
    }
    return out;
}

QString unescapedName(QByteArrayView raw)
{
    const QString decoded = fromUtf8Piece(raw);
    QString out;
    out.reserve(decoded.size());
    const qsizetype size = decoded.size();
    qsizetype i = 0;
    while (i < size) {
        const QChar c = decoded.at(i);
        if (c == QLatin1Char('\\')) {
            out += QLatin1Char('/');
            ++i;
            continue;
        }
        if (c != QLatin1Char('%') || i == size - 1) {
            out += c;
            ++i;
            continue;
        }
        qsizetype first = i + 1;
        int digits = 2;
        if (decoded.at(first) == QLatin1Char('U')) {
            ++first;
            digits = 4;
        }
        bool ok = false;
        const ushort code
            = first + digits <= size ? QStringView(decoded).sliced(first, digits).toUShort(&ok, 16) : 0;
        if (!ok) {
            out += c;
            ++i;
            continue;
        }
        out += QChar(code);
        i = first + digits;
    }
    return out;
}

void appendEscapedValue(const QString &original, QByteArray &out)
{
    const QString text = original.startsWith(QLatin1Char('@')) ? QLatin1Char('@') + original : original;
    const qsizetype start = out.size();
    bool needsQuotes = false;
    bool escapeNextIfHex = false; // after \0 or \xHH a hex digit would join the escape
    qsizetype runStart = -1; // a run of non-ASCII characters, written as UTF-8 at its end
    auto flushRun = [&](qsizetype end) {
        if (runStart >= 0) {
            out += QStringView(text).sliced(runStart, end - runStart).toUtf8();
            runStart = -1;
        }
    };
    out.reserve(start + text.size() + 8);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const uint c = text.at(i).unicode();
        if (QChar::isSurrogate(c)) {
            if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
                escapeNextIfHex = false;
                if (runStart < 0)
                    runStart = i;
                ++i;
                continue;
            }
            // A surrogate without its other half (read from an escape such as \xd800) has no
            // UTF-8: written as the same escape, so that the next load reads it back.
            flushRun(i);
            out += "\\x";
            out += QByteArray::number(c, 16);
            escapeNextIfHex = true;
            continue;
        }
        if (c >= 0x80) {
            escapeNextIfHex = false;
            if (runStart < 0)
                runStart = i;
            continue;
        }
        flushRun(i);
        if (c == ';' || c == ',' || c == '=')
            needsQuotes = true;
        if (escapeNextIfHex && isHexDigit(c)) {
            out += "\\x";
            out += QByteArray::number(c, 16);
            continue;
        }
        escapeNextIfHex = false;
        switch (c) {
        case '\0':
            out += "\\0";
            escapeNextIfHex = true;
            break;
        case '\a':
            out += "\\a";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\v':
            out += "\\v";
            break;
        case '"':
        case '\\':
            out += '\\';
            out += char(c);
            break;
        default:
            if (c <= 0x1F) {
                out += "\\x";
                out += QByteArray::number(c, 16);
                escapeNextIfHex = true;
            } else {
                out += char(c);
            }
        }
    }
    flushRun(text.size());
    if (needsQuotes || (out.size() > start && (out.at(start) == ' ' || out.at(out.size() - 1) == ' '))) {
        out.insert(start, '"');
        out += '"';
    }
}

QString unescapedValue(QByteArrayView raw)
{
    QString out;
    out.reserve(raw.size());
    const qsizetype n = raw.size();
    qsizetype i = 0;
    bool inQuotes = false;
    bool quoted = false; // any quote seen: then blanks at the end are the text's own
    qsizetype chopLimit = 0; // blanks before this position came from escapes or quotes

    auto skipBlanks = [&] {
        while (i < n && (raw.at(i) == ' ' || raw.at(i) == '\t'))
            ++i;
    };
    skipBlanks();
    while (i < n) {
        const char c = raw.at(i);
        if (c == '\\') {
            ++i;
            if (i >= n)
                break;
            const char e = raw.at(i++);
            if (const char s = simpleEscape(e)) {
                out += QLatin1Char(s);
            } else if (e == 'x' && i < n && hexValue(raw.at(i)) >= 0) {
                uint code = 0;
                while (i < n && hexValue(raw.at(i)) >= 0)
                    code = ((code << 4) + uint(hexValue(raw.at(i++)))) & 0xFFFF;
                out += QChar(char16_t(code));
            } else if (octValue(e) >= 0) {
                uint code = uint(octValue(e));
                while (i < n && octValue(raw.at(i)) >= 0)
                    code = ((code << 3) + uint(octValue(raw.at(i++)))) & 0xFFFF;
                out += QChar(char16_t(code));
            } else if (e == '\n' || e == '\r') {
                // a line continued on the next line
                if (i < n && (raw.at(i) == '\n' || raw.at(i) == '\r') && raw.at(i) != e)
                    ++i;
            } else {
                // not an escape: a hand-typed path such as c:\program or c:\x.txt keeps its backslash
                out += QLatin1Char('\\');
                out += QLatin1Char(e);
            }
            chopLimit = out.size();
        } else if (c == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes) {
                skipBlanks();
                chopLimit = out.size();
            }
        } else {
            qsizetype j = i + 1;
            while (j < n && raw.at(j) != '\\' && raw.at(j) != '"')
                ++j;
            out += fromUtf8Piece(raw.sliced(i, j - i));
            i = j;
        }
    }
    if (!quoted)
        chopTrailingBlanks(out, chopLimit);

    if (out.startsWith(QLatin1String("@@")))
        return out.mid(1);
    if (out == QLatin1String("@Invalid()"))
        return {};
    if (out.endsWith(QLatin1Char(')'))) {
        if (out.startsWith(QLatin1String("@ByteArray(")))
            return out.mid(11, out.size() - 12);
        if (out.startsWith(QLatin1String("@String(")))
            return out.mid(8, out.size() - 9);
    }
    return out;
}

} // namespace ini_text
