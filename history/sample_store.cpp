#include "history/sample_store.h"

#include "status/alarms.h"

#include <QHash>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <map>

namespace history {

namespace {

// Numbers beyond this many thousandths do not fit a 64-bit integer and are stored as reals.
constexpr double kLargestMilli = 9.0e18;

// The raw table's number columns, in Series order (no SWR: it is worked out when read).
constexpr int kRawNumbers = kSeriesCount - 1;

QVariant nullNumber()
{
    return QVariant(QMetaType::fromType<double>());
}

QVariant nullText()
{
    return QVariant(QMetaType::fromType<QString>());
}

QVariant numberValue(double v)
{
    return hasValue(v) ? QVariant(v) : nullNumber();
}

QVariant textValue(const QString &text)
{
    return text.isNull() ? nullText() : QVariant(text);
}

QString textOf(const QVariant &v)
{
    // A NULL column gives a null text, an empty one an empty (not null) text.
    if (v.isNull())
        return QString();
    const QString text = v.toString();
    return text.isNull() ? QStringLiteral("") : text;
}

double numberOf(const QVariant &v)
{
    return v.isNull() ? kNoValue : v.toDouble();
}

// A number in thousandths: an integer where it fits, else a real.
QVariant milli(double v)
{
    if (!hasValue(v))
        return QVariant(QMetaType::fromType<qlonglong>());
    const double m = std::round(v * 1000.0);
    if (std::fabs(m) < kLargestMilli)
        return QVariant(qlonglong(m));
    return QVariant(m);
}

double fromMilli(const QVariant &v)
{
    if (v.isNull())
        return kNoValue;
    if (v.typeId() == QMetaType::LongLong || v.typeId() == QMetaType::Int)
        return double(v.toLongLong()) / 1000.0;
    return v.toDouble() / 1000.0;
}

// "forward_min, forward_mean, forward_max, forward_n, ..." in Series order.
QString foldedNumberColumns()
{
    QStringList columns;
    for (const SeriesInfo &s : series()) {
        const QString c = QLatin1String(s.column);
        columns << c + QStringLiteral("_min") << c + QStringLiteral("_mean") << c + QStringLiteral("_max")
                << c + QStringLiteral("_n");
    }
    return columns.join(QStringLiteral(", "));
}

QString rawNumberColumns()
{
    QStringList columns;
    for (int i = 0; i < kSeriesCount; ++i) {
        if (i != Swr)
            columns << QLatin1String(series()[i].column);
    }
    return columns.join(QStringLiteral(", "));
}

QString marks(int n)
{
    QStringList m;
    for (int i = 0; i < n; ++i)
        m << QStringLiteral("?");
    return m.join(u',');
}

} // namespace

namespace sample_store {

QString foldedSelect(Resolution resolution)
{
    return QStringLiteral("SELECT time, samples, %1, alarm_code, uptime, firmware FROM %2")
        .arg(foldedNumberColumns(), tableOf(resolution));
}

QString rawSelect()
{
    return QStringLiteral("SELECT time, %1, alarm_code, uptime, firmware FROM samples")
        .arg(rawNumberColumns());
}

Sample rawRow(const QSqlQuery &q)
{
    Sample s;
    int c = 0;
    s.time = q.value(c++).toLongLong();
    for (int i = 0; i < kSeriesCount; ++i) {
        if (i != Swr)
            s.values[i] = numberOf(q.value(c++));
    }
    s.computeSwr();
    s.alarmCode = textOf(q.value(c++));
    s.uptime = textOf(q.value(c++));
    s.firmware = textOf(q.value(c++));
    return s;
}

Aggregate foldedRow(const QSqlQuery &q)
{
    Aggregate a;
    a.time = q.value(0).toLongLong();
    a.samples = q.value(1).toLongLong();
    int c = 2;
    for (int i = 0; i < kSeriesCount; ++i, c += 4) {
        Aggregate::Stat &s = a.stats[i];
        s.min = fromMilli(q.value(c));
        const double mean = fromMilli(q.value(c + 1));
        s.max = fromMilli(q.value(c + 2));
        const QVariant n = q.value(c + 3);
        s.count = n.isNull() ? a.samples : n.toLongLong();
        if (!hasValue(mean) || !hasValue(s.min) || !hasValue(s.max) || s.count <= 0)
            s = Aggregate::Stat();
        else
            s.average = mean;
    }
    const QString code = textOf(q.value(c));
    if (const auto states = alarms::decode(code)) {
        a.alarmBits = 0;
        for (int bit = 0; bit < 5; ++bit)
            a.alarmBits |= (*states)[bit] ? 1 << bit : 0;
    } else {
        a.alarmText = code;
    }
    a.uptime = textOf(q.value(c + 1));
    a.firmware = textOf(q.value(c + 2));
    return a;
}

} // namespace sample_store

namespace {

void bindAggregate(QSqlQuery &q, const Aggregate &a)
{
    int c = 0;
    q.bindValue(c++, a.time);
    q.bindValue(c++, a.samples);
    for (const Aggregate::Stat &s : a.stats) {
        const bool any = s.count > 0;
        q.bindValue(c++, any ? milli(s.min) : milli(kNoValue));
        q.bindValue(c++, any ? milli(s.mean()) : milli(kNoValue));
        q.bindValue(c++, any ? milli(s.max) : milli(kNoValue));
        q.bindValue(
            c++, s.count == a.samples ? QVariant(QMetaType::fromType<qlonglong>()) : QVariant(s.count));
    }
    q.bindValue(c++, textValue(clampedText(a.alarmCode())));
    q.bindValue(c++, textValue(clampedText(a.uptime)));
    q.bindValue(c++, textValue(clampedText(a.firmware)));
}

} // namespace

qint64 periodOf(Resolution resolution)
{
    switch (resolution) {
    case Resolution::Minute:
        return kMinuteMs;
    case Resolution::Hour:
        return kHourMs;
    case Resolution::Raw:
        break;
    }
    return 0;
}

QString tableOf(Resolution resolution)
{
    switch (resolution) {
    case Resolution::Minute:
        return QStringLiteral("samples_1min");
    case Resolution::Hour:
        return QStringLiteral("samples_1h");
    case Resolution::Raw:
        break;
    }
    return QStringLiteral("samples");
}

qint64 periodStart(qint64 time, qint64 period)
{
    if (period <= 0)
        return time;
    qint64 start = time - time % period;
    if (time % period < 0)
        start -= period;
    return start;
}

void Aggregate::Stat::add(double v)
{
    if (!hasValue(v))
        return;
    Stat one;
    one.min = one.max = one.average = v;
    one.count = 1;
    merge(one);
}

void Aggregate::Stat::merge(const Stat &o)
{
    if (o.count == 0)
        return;
    if (count == 0) {
        *this = o;
        return;
    }
    min = qMin(min, o.min);
    max = qMax(max, o.max);
    // Weighted, so that a minute's mean is the same however its samples were batched.
    const double total = double(count) + double(o.count);
    average = average * (double(count) / total) + o.average * (double(o.count) / total);
    count += o.count;
}

void Aggregate::add(const Sample &s)
{
    ++samples;
    for (int i = 0; i < kSeriesCount; ++i)
        stats[i].add(s.values[i]);
    if (!s.alarmCode.isNull()) {
        if (const auto states = alarms::decode(s.alarmCode)) {
            int bits = 0;
            for (int bit = 0; bit < 5; ++bit)
                bits |= (*states)[bit] ? 1 << bit : 0;
            alarmBits = alarmBits < 0 ? bits : alarmBits | bits;
        } else {
            alarmText = s.alarmCode;
        }
    }
    if (!s.uptime.isNull())
        uptime = s.uptime;
    if (!s.firmware.isNull())
        firmware = s.firmware;
}

void Aggregate::merge(const Aggregate &newer)
{
    samples += newer.samples;
    for (int i = 0; i < kSeriesCount; ++i)
        stats[i].merge(newer.stats[i]);
    if (newer.alarmBits >= 0)
        alarmBits = alarmBits < 0 ? newer.alarmBits : alarmBits | newer.alarmBits;
    if (!newer.alarmText.isNull())
        alarmText = newer.alarmText;
    if (!newer.uptime.isNull())
        uptime = newer.uptime;
    if (!newer.firmware.isNull())
        firmware = newer.firmware;
}

QString Aggregate::alarmCode() const
{
    if (alarmBits >= 0)
        return QStringLiteral("%1").arg(alarmBits, 2, 10, QLatin1Char('0'));
    return alarmText;
}

namespace sample_store {

QSqlError mergeFolded(const QSqlDatabase &db, Resolution resolution, const QList<Aggregate> &aggregates)
{
    if (aggregates.isEmpty())
        return {};
    QSqlQuery select(db);
    if (!select.prepare(foldedSelect(resolution) + QStringLiteral(" WHERE time = ?")))
        return select.lastError();
    QSqlQuery insert(db);
    if (!insert.prepare(
            QStringLiteral("INSERT OR REPLACE INTO %1 (time, samples, %2, alarm_code, uptime, "
                           "firmware) VALUES (%3)")
                .arg(tableOf(resolution), foldedNumberColumns(), marks(2 + 4 * kSeriesCount + 3))))
        return insert.lastError();
    for (const Aggregate &a : aggregates) {
        select.bindValue(0, a.time);
        if (!select.exec())
            return select.lastError();
        Aggregate merged = a;
        if (select.next()) {
            merged = foldedRow(select);
            merged.merge(a);
        }
        select.finish();
        bindAggregate(insert, merged);
        if (!insert.exec())
            return insert.lastError();
    }
    return {};
}

QSqlError append(const QSqlDatabase &db, const QList<Sample> &samples)
{
    if (samples.isEmpty())
        return {};
    QSqlQuery insert(db);
    if (!insert.prepare(QStringLiteral("INSERT INTO samples (time, %1, alarm_code, uptime, firmware) "
                                       "VALUES (%2)")
                            .arg(rawNumberColumns(), marks(1 + kRawNumbers + 3))))
        return insert.lastError();
    // Each period once, in time order.
    std::map<qint64, Aggregate> minutes;
    std::map<qint64, Aggregate> hours;
    for (Sample s : samples) {
        s.clampTexts();
        int c = 0;
        insert.bindValue(c++, s.time);
        for (int i = 0; i < kSeriesCount; ++i) {
            if (i == Swr)
                continue;
            if (i == RfDrive && hasValue(s.values[i]))
                insert.bindValue(c++, qlonglong(s.values[i]));
            else
                insert.bindValue(c++, numberValue(s.values[i]));
        }
        insert.bindValue(c++, textValue(s.alarmCode));
        insert.bindValue(c++, textValue(s.uptime));
        insert.bindValue(c++, textValue(s.firmware));
        if (!insert.exec())
            return insert.lastError();

        const qint64 minute = periodStart(s.time, kMinuteMs);
        auto m = minutes.try_emplace(minute).first;
        m->second.time = minute;
        m->second.add(s);
        const qint64 hour = periodStart(s.time, kHourMs);
        auto h = hours.try_emplace(hour).first;
        h->second.time = hour;
        h->second.add(s);
    }
    auto listOf = [](const std::map<qint64, Aggregate> &periods) {
        QList<Aggregate> list;
        list.reserve(qsizetype(periods.size()));
        for (const auto &p : periods)
            list.append(p.second);
        return list;
    };
    if (QSqlError e = mergeFolded(db, Resolution::Minute, listOf(minutes)); e.isValid())
        return e;
    return mergeFolded(db, Resolution::Hour, listOf(hours));
}

QSqlError prune(
    const QSqlDatabase &db, qint64 now, int rawLimit, int foldedLimit, int *rawRemoved, int *foldedRemoved)
{
    *rawRemoved = 0;
    *foldedRemoved = 0;
    QSqlQuery q(db);
    const qint64 rawCut = periodStart(now - kRawKeepMs, kMinuteMs);
    const qint64 foldedCut = periodStart(now - kFoldedKeepMs, kHourMs);
    if (rawLimit > 0) {
        if (!q.prepare(
                QStringLiteral("DELETE FROM samples WHERE id IN (SELECT id FROM samples WHERE time < ? "
                               "ORDER BY time LIMIT ?)")))
            return q.lastError();
        q.bindValue(0, rawCut);
        q.bindValue(1, rawLimit);
        if (!q.exec())
            return q.lastError();
        *rawRemoved = q.numRowsAffected();
    }
    for (Resolution r : { Resolution::Minute, Resolution::Hour }) {
        if (*foldedRemoved >= foldedLimit)
            break;
        if (!q.prepare(QStringLiteral("DELETE FROM %1 WHERE time IN (SELECT time FROM %1 WHERE time < ? "
                                      "ORDER BY time LIMIT ?)")
                           .arg(tableOf(r))))
            return q.lastError();
        q.bindValue(0, foldedCut);
        q.bindValue(1, foldedLimit - *foldedRemoved);
        if (!q.exec())
            return q.lastError();
        *foldedRemoved += q.numRowsAffected();
    }
    return {};
}

std::optional<qint64> oldestRaw(const QSqlDatabase &db)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT MIN(time) FROM samples")) || !q.next() || q.value(0).isNull())
        return std::nullopt;
    return q.value(0).toLongLong();
}

qint64 count(const QSqlDatabase &db, Resolution resolution)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM %1").arg(tableOf(resolution))) || !q.next())
        return -1;
    return q.value(0).toLongLong();
}

bool readRaw(const QSqlDatabase &db, qint64 from, qint64 to, const std::function<void(const Sample &)> &row)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(rawSelect() + QStringLiteral(" WHERE time >= ? AND time < ? ORDER BY time, id")))
        return false;
    q.bindValue(0, from);
    q.bindValue(1, to);
    if (!q.exec())
        return false;
    while (q.next())
        row(rawRow(q));
    return !q.lastError().isValid();
}

bool readFolded(const QSqlDatabase &db, Resolution resolution, qint64 from, qint64 to,
    const std::function<void(const Aggregate &)> &row)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(foldedSelect(resolution) + QStringLiteral(" WHERE time >= ? AND time < ? ORDER BY time")))
        return false;
    q.bindValue(0, from);
    q.bindValue(1, to);
    if (!q.exec())
        return false;
    while (q.next())
        row(foldedRow(q));
    return !q.lastError().isValid();
}

} // namespace sample_store

} // namespace history
