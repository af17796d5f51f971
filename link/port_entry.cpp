#include "link/port_entry.h"

#include <QHostAddress>
#include <QUrl>

namespace {

const QLatin1String kSchemeMark("://");

// A host name: labels of letters, digits, '-' and '_' (as some sites name their device servers),
// joined by dots, none empty and none starting or ending with '-'.
bool isHostName(const QString &host)
{
    if (host.isEmpty() || host.size() > 253)
        return false;
    const QStringList labels = host.split(QLatin1Char('.'));
    for (qsizetype i = 0; i < labels.size(); ++i) {
        const QString &label = labels[i];
        if (label.isEmpty())
            return i == labels.size() - 1 && i > 0; // one trailing dot, as in "site.example."
        if (label.size() > 63 || label.startsWith(QLatin1Char('-')) || label.endsWith(QLatin1Char('-')))
            return false;
        for (const QChar c : label) {
            if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('-')
                && c != QLatin1Char('_'))
                return false;
        }
    }
    return true;
}

bool isIpv4Like(const QString &host)
{
    for (const QChar c : host) {
        if (!c.isDigit() && c != QLatin1Char('.'))
            return false;
    }
    return true;
}

} // namespace

QString PortEntry::shown() const
{
    if (kind == Kind::Device)
        return device;
    QString scheme = kind == Kind::Tcp ? QStringLiteral("tcp") : QStringLiteral("rfc2217");
    if (tls)
        scheme += QStringLiteral("+tls");
    const QString h = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return scheme + kSchemeMark + h + QLatin1Char(':') + QString::number(port);
}

bool PortEntry::operator==(const PortEntry &o) const
{
    return kind == o.kind && tls == o.tls && device == o.device && host == o.host && port == o.port
        && caFile == o.caFile && certFile == o.certFile && keyFile == o.keyFile;
}

namespace port_entry {

bool looksNetwork(const QString &entry)
{
    return entry.contains(kSchemeMark);
}

std::optional<PortEntry> parse(const QString &entry)
{
    PortEntry e;
    const qsizetype mark = entry.indexOf(kSchemeMark);
    if (mark < 0) {
        e.device = entry;
        return e;
    }
    const QString scheme = entry.left(mark).toLower();
    if (scheme == QLatin1String("tcp")) {
        e.kind = PortEntry::Kind::Tcp;
    } else if (scheme == QLatin1String("rfc2217")) {
        e.kind = PortEntry::Kind::Rfc2217;
    } else if (scheme == QLatin1String("tcp+tls")) {
        e.kind = PortEntry::Kind::Tcp;
        e.tls = true;
    } else if (scheme == QLatin1String("rfc2217+tls")) {
        e.kind = PortEntry::Kind::Rfc2217;
        e.tls = true;
    } else {
        return std::nullopt;
    }

    QString rest = entry.mid(mark + kSchemeMark.size());
    QString query;
    const qsizetype q = rest.indexOf(QLatin1Char('?'));
    if (q >= 0) {
        query = rest.mid(q + 1);
        rest.truncate(q);
        if (query.isEmpty())
            return std::nullopt;
    }

    // The authority: HOST:PORT, nothing before it (no user or password) and nothing after (no path).
    QString host;
    QString port;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0 || rest.mid(close + 1, 1) != QLatin1String(":"))
            return std::nullopt;
        host = rest.mid(1, close - 1);
        port = rest.mid(close + 2);
        QHostAddress address;
        if (!address.setAddress(host) || address.protocol() != QAbstractSocket::IPv6Protocol
            || host.contains(QLatin1Char('%')))
            return std::nullopt;
    } else {
        const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
        if (colon < 0)
            return std::nullopt;
        host = rest.left(colon);
        port = rest.mid(colon + 1);
        if (isIpv4Like(host)) {
            QHostAddress address;
            if (host.count(QLatin1Char('.')) != 3 || !address.setAddress(host)
                || address.protocol() != QAbstractSocket::IPv4Protocol)
                return std::nullopt;
        } else if (!isHostName(host)) {
            return std::nullopt;
        }
    }
    if (port.isEmpty() || port.size() > 5)
        return std::nullopt;
    for (const QChar c : port) {
        if (!c.isDigit() || c.unicode() >= 128)
            return std::nullopt;
    }
    const int number = port.toInt();
    if (number < 1 || number > 65535)
        return std::nullopt;
    e.host = host;
    e.port = quint16(number);

    if (!query.isEmpty()) {
        if (!e.tls)
            return std::nullopt; // the files belong to TLS; a plain entry with them is a mistake
        bool ca = false;
        bool cert = false;
        bool key = false;
        for (const QString &pair : query.split(QLatin1Char('&'))) {
            const qsizetype equals = pair.indexOf(QLatin1Char('='));
            if (equals <= 0)
                return std::nullopt;
            const QString name = pair.left(equals);
            const QString value = QUrl::fromPercentEncoding(pair.mid(equals + 1).toUtf8());
            if (value.isEmpty())
                return std::nullopt;
            bool *seen = nullptr;
            QString *file = nullptr;
            if (name == QLatin1String("ca")) {
                seen = &ca;
                file = &e.caFile;
            } else if (name == QLatin1String("cert")) {
                seen = &cert;
                file = &e.certFile;
            } else if (name == QLatin1String("key")) {
                seen = &key;
                file = &e.keyFile;
            } else {
                return std::nullopt;
            }
            if (*seen)
                return std::nullopt;
            *seen = true;
            *file = value;
        }
        if (cert != key)
            return std::nullopt;
    }
    return e;
}

QString shown(const QString &entry)
{
    if (const std::optional<PortEntry> e = parse(entry))
        return e->shown();
    const qsizetype mark = entry.indexOf(kSchemeMark);
    if (mark < 0)
        return entry;
    // The authority only: up to the first '?', '#' or '/', and after the last '@' (a user and a
    // password, should an entry carry them, stay out).
    const qsizetype start = mark + kSchemeMark.size();
    qsizetype end = start;
    while (end < entry.size()) {
        const QChar c = entry.at(end);
        if (c == QLatin1Char('?') || c == QLatin1Char('#') || c == QLatin1Char('/'))
            break;
        ++end;
    }
    QString authority = entry.mid(start, end - start);
    const qsizetype at = authority.lastIndexOf(QLatin1Char('@'));
    if (at >= 0)
        authority = authority.mid(at + 1);
    return entry.left(start) + authority;
}

} // namespace port_entry
