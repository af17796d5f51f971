#include "history/sample_export.h"

#include "history/csv.h"
#include "history/history_database.h"
#include "history/sample_store.h"

#include <QDateTime>
#include <QFileInfo>
#include <QIODevice>
#include <QLocale>
#include <QSqlQuery>
#include <QTextStream>

namespace history {

namespace {

// The standing wave ratio is worked out, not measured: three decimals say all it can.
double roundedSwr(double swr)
{
    return hasValue(swr) ? std::round(swr * 1000.0) / 1000.0 : swr;
}

void writeNumbers(QStringList &fields, const std::array<double, kSeriesCount> &values)
{
    for (int i = 0; i < kSeriesCount; ++i)
        fields << csvNumber(i == Swr ? roundedSwr(values[i]) : values[i]);
}

void writeSample(QTextStream &out, const Sample &s)
{
    QStringList fields;
    fields.reserve(20);
    fields << csvTime(s.time);
    writeNumbers(fields, s.values);
    fields << csv::text(s.alarmCode) << csv::text(s.uptime) << csv::text(s.firmware) << QStringLiteral("raw");
    csv::writeRow(out, fields);
}

void writeAggregate(QTextStream &out, const Aggregate &a)
{
    std::array<double, kSeriesCount> means;
    for (int i = 0; i < kSeriesCount; ++i)
        means[i] = a.stats[i].mean();
    QStringList fields;
    fields.reserve(20);
    fields << csvTime(a.time);
    writeNumbers(fields, means);
    fields << csv::text(a.alarmCode()) << csv::text(a.uptime) << csv::text(a.firmware)
           << QStringLiteral("1min");
    csv::writeRow(out, fields);
}

bool hasSamplesTable(const QSqlDatabase &db)
{
    QSqlQuery q(db);
    return q.exec(QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'samples'"))
        && q.next();
}

} // namespace

QString csvTime(qint64 msSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::UTC).toString(Qt::ISODateWithMs);
}

QString csvNumber(double value)
{
    if (!hasValue(value))
        return QString();
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

bool writeSamplesCsv(const QSqlDatabase &db, QTextStream &out, qint64 from, qint64 to, qint64 *rows)
{
    qint64 written = 0;
    if (rows)
        *rows = 0;
    out << kSamplesCsvHeader << csv::kLineEnd;
    if (!db.isOpen() || !hasSamplesTable(db)) {
        out.flush();
        return db.isOpen() && out.status() == QTextStream::Ok;
    }

    // Raw samples where there are any; the minutes that have none left, folded. A minute before
    // the oldest raw sample cannot have one, so only the later ones are looked up.
    const qint64 rawStart = sample_store::oldestRaw(db).value_or(kLatest);
    QSqlQuery raw(db);
    raw.setForwardOnly(true);
    QSqlQuery folded(db);
    folded.setForwardOnly(true);
    if (!raw.prepare(
            sample_store::rawSelect() + QStringLiteral(" WHERE time >= ? AND time < ? ORDER BY time, id"))
        || !folded.prepare(sample_store::foldedSelect(Resolution::Minute)
            + QStringLiteral(
                " AS m WHERE m.time >= ? AND m.time < ? AND (m.time <= ? OR NOT EXISTS (SELECT 1 "
                "FROM samples AS s WHERE s.time >= m.time AND s.time < m.time + %1)) "
                "ORDER BY m.time")
                  .arg(kMinuteMs)))
        return false;
    raw.bindValue(0, from);
    raw.bindValue(1, to);
    folded.bindValue(0, from);
    folded.bindValue(1, to);
    folded.bindValue(2, rawStart == kLatest ? kLatest : rawStart - kMinuteMs);
    if (!raw.exec() || !folded.exec())
        return false;

    bool haveRaw = raw.next();
    bool haveFolded = folded.next();
    while (haveRaw || haveFolded) {
        // Oldest first; a minute's row before the samples of the same time.
        const bool takeFolded
            = haveFolded && (!haveRaw || folded.value(0).toLongLong() <= raw.value(0).toLongLong());
        if (takeFolded) {
            writeAggregate(out, sample_store::foldedRow(folded));
            haveFolded = folded.next();
        } else {
            writeSample(out, sample_store::rawRow(raw));
            haveRaw = raw.next();
        }
        ++written;
        if (rows)
            *rows = written;
        if ((written & 0xfff) == 0 && out.status() != QTextStream::Ok)
            return false;
    }
    out.flush();
    return !raw.lastError().isValid() && !folded.lastError().isValid() && out.status() == QTextStream::Ok;
}

bool writeSamplesCsv(HistoryDatabase &database, QIODevice &device, qint64 from, qint64 to, qint64 *rows)
{
    QTextStream out(&device);
    out.setEncoding(QStringConverter::Utf8);
    QSqlDatabase db = database.reader();
    if (!db.isOpen() && !QFileInfo::exists(database.path())) {
        // No history yet: the header alone.
        if (rows)
            *rows = 0;
        out << kSamplesCsvHeader << csv::kLineEnd;
        out.flush();
        return out.status() == QTextStream::Ok;
    }
    return writeSamplesCsv(db, out, from, to, rows);
}

} // namespace history
