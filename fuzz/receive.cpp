// The receive path on arbitrary bytes: the collector, the report parser and the alarm decoder.
// Input: one byte that chooses how the rest is cut into bursts, then the received stream.
//
// Checked on every input: the buffer never holds more than its capacity nor a "$"; one burst,
// bursts of the chosen sizes and one byte per burst give the same reports, buffer, drop count and
// display; the reports are the stream's "$"-separated runs with only their last kCapacity
// characters kept; each report sets a field only to the text between the key's first occurrence
// and the next ","; a report with none of the fields changes nothing at all; the drive level stays
// within 0..100; and applying a report twice changes nothing more.
#include "fuzz_check.h"
#include "status/alarms.h"
#include "status/collector.h"
#include "status/report.h"

#include <QList>
#include <QString>

#include <cstdint>

namespace {

struct Outcome {
    QStringList reports;
    QString buffer;
    qint64 dropped = 0;
    report::Display display = report::Display::initial();
};

void checkDecode(QStringView code)
{
    const auto states = alarms::decode(code);
    const bool twoDigits
        = code.size() == 2 && code[0] >= u'0' && code[0] <= u'9' && code[1] >= u'0' && code[1] <= u'9';
    const int n = twoDigits ? (code[0].unicode() - u'0') * 10 + (code[1].unicode() - u'0') : -1;
    FUZZ_CHECK(states.has_value() == (twoDigits && n <= 31));
    if (states) {
        for (int bit = 0; bit < 5; ++bit)
            FUZZ_CHECK((*states)[size_t(bit)] == bool((n >> bit) & 1));
    }
}

void checkApply(const QString &text, const report::Display &before, const report::Display &after)
{
    FUZZ_CHECK(after.driveLevel >= 0 && after.driveLevel <= 100);
    for (int i = 0; i < report::kTextFields; ++i) {
        const QLatin1String key(report::fields()[size_t(i)].key);
        const qsizetype at = text.indexOf(key);
        const qsizetype comma = at < 0 ? -1 : text.indexOf(u',', at + key.size());
        if (comma < 0)
            FUZZ_CHECK(after.texts[size_t(i)] == before.texts[size_t(i)]);
        else
            FUZZ_CHECK(
                after.texts[size_t(i)] == QStringView(text).mid(at + key.size(), comma - at - key.size()));
    }
    if (after.alarms != before.alarms) {
        const qsizetype at = text.indexOf(QLatin1String("AlarmCode="));
        FUZZ_CHECK(at >= 0);
        const qsizetype comma = text.indexOf(u',', at + 10);
        FUZZ_CHECK(comma >= 0);
        const auto states = alarms::decode(QStringView(text).mid(at + 10, comma - at - 10));
        FUZZ_CHECK(states && *states == after.alarms);
    }
    report::Display again = after;
    report::apply(text, again);
    FUZZ_CHECK(again == after);
}

// Feeds `stream` in pieces of the lengths `nextLength` gives.
template <typename NextLength> Outcome run(const QByteArray &stream, NextLength nextLength)
{
    Outcome o;
    ReportCollector collector;
    qsizetype at = 0;
    while (at < stream.size()) {
        const qsizetype n = qMin<qsizetype>(nextLength(), stream.size() - at);
        collector.feed(stream.mid(at, n), [&](const QString &text) {
            FUZZ_CHECK(text.size() <= ReportCollector::kCapacity);
            FUZZ_CHECK(!text.contains(u'$'));
            const report::Display before = o.display;
            const bool carried = report::apply(text, o.display);
            checkApply(text, before, o.display);
            // A text with none of the fields is no report and changes nothing, not even what the
            // display says the last report carried.
            FUZZ_CHECK(!carried || o.display.carried != 0);
            if (!carried)
                FUZZ_CHECK(o.display == before && o.display.carried == before.carried
                    && o.display.alarmCode == before.alarmCode);
            o.reports.append(text);
        });
        FUZZ_CHECK(collector.buffer().size() <= ReportCollector::kCapacity);
        FUZZ_CHECK(!collector.buffer().contains(u'$'));
        at += n;
    }
    o.buffer = collector.buffer();
    o.dropped = collector.dropped();
    return o;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    BurstSplitter splitter(data[0]);
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    const Outcome whole = run(stream, [&] { return stream.size(); });
    const Outcome bursts = run(stream, [&] { return qsizetype(splitter.next()); });
    const Outcome bytes = run(stream, [] { return qsizetype(1); });
    for (const Outcome *o : { &bursts, &bytes }) {
        FUZZ_CHECK(o->reports == whole.reports);
        FUZZ_CHECK(o->buffer == whole.buffer);
        FUZZ_CHECK(o->dropped == whole.dropped);
        FUZZ_CHECK(o->display == whole.display);
    }

    // The stream cut at each "$": every run but the last is a report, the last stays in the buffer,
    // each with only its last kCapacity characters.
    const QList<QByteArray> runs = stream.split('$');
    qint64 dropped = 0;
    FUZZ_CHECK(whole.reports.size() == runs.size() - 1);
    for (qsizetype i = 0; i < runs.size(); ++i) {
        const QByteArray &r = runs[i];
        const qsizetype kept = qMin<qsizetype>(r.size(), ReportCollector::kCapacity);
        dropped += r.size() - kept;
        const QString expected = QString::fromLatin1(r.right(kept));
        FUZZ_CHECK((i + 1 < runs.size() ? whole.reports[i] : whole.buffer) == expected);
    }
    FUZZ_CHECK(whole.dropped == dropped);

    // The alarm decoder on its own, on the start of the stream and on the stream as a whole.
    const QString text = QString::fromLatin1(stream);
    checkDecode(QStringView(text).left(2));
    checkDecode(QStringView(text).left(3));
    checkDecode(text);
    return 0;
}
