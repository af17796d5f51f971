// The window under a flood: the simulator writes line noise and reports as fast as the
// pseudo-terminal takes them, for a bounded time, while auto-read goes on asking once a second.
// The panel's resident memory grows by less than a stated bound, the receive buffer (the monitor's
// and Text8's) never passes its cap, and a report that comes after the flood is parsed and shown.
//
// PANEL_FLOOD_SECONDS sets the flood time over all rows (10 s by default, split evenly);
// PANEL_FLOOD_SEED repeats one run's noise.
#include "support/sim_process.h"
#include "support/ui/panel_window.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QtTest>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// How much the resident size may grow over the warmed-up panel while it is flooded. The address
// sanitizer keeps freed blocks in a quarantine of its own (256 MiB by default) before reusing
// them, so there the bound is the quarantine's and only a growth without end would break it.
constexpr qint64 kGrowthBoundKiB = kAddressSanitizer ? 320 * 1024 : 6 * 1024;

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

QByteArray afterFloodReport(const QByteArray &tag)
{
    return "Pfwd=" + tag
        + "W,Pref=0.7W,Tpsu=33C,Tamp=47C,Iamp1=2.1A,Iamp2=2.2A,Iamp3=2.3A,Iamp4=2.4A,"
          "Uamp1=26.1V,Uamp2=26.2V,Uamp3=26.3V,Uamp4=26.4V,Uptime=0002D:03H:04M,Firmware=v2.0,"
          "PowerLimit=250W,AlarmCode=06,Audio=F";
}

} // namespace

class TestUiFlood : public WindowTest
{
    Q_OBJECT

    SimProcess m_sim;
    qint64 m_baselineKiB = 0;
    qint64 m_peakKiB = 0;
    double m_secondsPerRow = 0;

    // What the sampler saw during one flood.
    struct Peaks {
        qint64 residentKiB = 0;
        qsizetype text8 = 0;
        qsizetype buffer = 0;
        int samples = 0;
    };

    void simCommand(const QString &line) { m_sim.require(line); }

    QString text8() const { return find<QPlainTextEdit>("Text8")->toPlainText(); }

    int framesOf(const QString &command) const { return m_sim.framesOf(command); }

    // Floods for `seconds` with `kind`, sampling the panel meanwhile; returns the flood's end record.
    QJsonObject flood(const QString &kind, double seconds, Peaks &peaks)
    {
        auto endRecords = [this] {
            QList<QJsonObject> ends;
            for (const QJsonObject &r : m_sim.logRecords("flood"))
                if (r.value("phase").toString() == "end")
                    ends << r;
            return ends;
        };
        const qsizetype endsBefore = endRecords().size();
        QTimer sampler;
        sampler.setInterval(20);
        connect(&sampler, &QTimer::timeout, this, [&] {
            peaks.residentKiB = qMax(peaks.residentKiB, residentKiB());
            peaks.text8 = qMax(peaks.text8, text8().size());
            peaks.buffer = qMax(peaks.buffer, m_form->session().monitor().buffer().size());
            ++peaks.samples;
        });
        sampler.start();
        bool ok = false;
        m_sim.command(QStringLiteral("flood %1 %2").arg(seconds).arg(kind), &ok);
        if (!ok)
            return {};
        QJsonObject end;
        waitUntil(
            [&] {
                const QList<QJsonObject> ends = endRecords();
                if (ends.size() > endsBefore)
                    end = ends.last();
                return !end.isEmpty();
            },
            int(seconds * 1000) + 15000);
        return end;
    }

private slots:
    void initTestCase()
    {
        const double total = qEnvironmentVariableIsSet("PANEL_FLOOD_SECONDS")
            ? qEnvironmentVariable("PANEL_FLOOD_SECONDS").toDouble()
            : 10.0;
        QVERIFY2(total > 0, "PANEL_FLOOD_SECONDS must be a positive number");
        m_secondsPerRow = total / 3;
        const quint32 seed = qEnvironmentVariableIsSet("PANEL_FLOOD_SEED")
            ? qEnvironmentVariable("PANEL_FLOOD_SEED").toUInt()
            : QRandomGenerator::global()->bounded(1u, 1000000u);
        qInfo("flood seed %u (PANEL_FLOOD_SEED=%u repeats it)", seed, seed);
        QVERIFY2(m_sim.start({ "--seed", QString::number(seed) }), m_sim.stderrText().constData());

        // The operator's panel: auto-read on, on the simulator's line, running all the way through.
        m_form.start(
            storeText(m_sim.linkPath(), "AutoRead=True\nTrayAtStart=False\n"), PanelWindow::LinkOpen);

        // A short flood of each kind first, so the baseline holds what the panel keeps anyway
        // (a full receive buffer and its text box, the allocator's working set).
        for (const char *kind : { "noise", "mixed", "reports" }) {
            Peaks ignored;
            QVERIFY2(!flood(kind, 0.5, ignored).isEmpty(), kind);
        }
        QTest::qWait(300);
        m_baselineKiB = residentKiB();
        QVERIFY(m_baselineKiB > 0);
    }

    void cleanupTestCase()
    {
        if (m_baselineKiB > 0)
            qInfo("resident size: %lld KiB warmed up, %lld KiB at the peak of the floods (bound +%lld KiB)",
                m_baselineKiB, m_peakKiB, kGrowthBoundKiB);
        m_form.reset();
    }

    void floodLeavesThePanelWorking_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("fillsTheBuffer"); // no "$" in the noise: the buffer meets its cap
        QTest::newRow("noise without a report end") << "noise" << true;
        QTest::newRow("noise of every byte between reports") << "mixed" << false;
        QTest::newRow("reports back to back") << "reports" << false;
    }

    void floodLeavesThePanelWorking()
    {
        QFETCH(QString, kind);
        QFETCH(bool, fillsTheBuffer);
        find<QCheckBox>("Check1")->setChecked(true);
        simCommand("report live");
        const qint64 droppedBefore = m_form->session().monitor().collector().dropped();
        const int requestsBefore = framesOf("FM");

        Peaks peaks;
        const QJsonObject end = flood(kind, m_secondsPerRow, peaks);
        QVERIFY2(!end.isEmpty(), "the flood did not end in time");
        const qint64 bytes = qint64(end.value("bytes").toDouble());
        m_peakKiB = qMax(m_peakKiB, peaks.residentKiB);
        qInfo("%s: %.1f s, %lld bytes in %lld pieces; resident peak +%lld KiB; receive buffer peak %lld, "
              "Text8 peak %lld; %lld characters dropped at the cap; %d requests during the flood",
            qPrintable(kind), end.value("ms").toDouble() / 1000, bytes,
            qint64(end.value("pieces").toDouble()), peaks.residentKiB - m_baselineKiB, qint64(peaks.buffer),
            qint64(peaks.text8), m_form->session().monitor().collector().dropped() - droppedBefore,
            framesOf("FM") - requestsBefore);

        // It was a flood: many times what the buffer holds, and the panel kept running its timers
        // (the sampler's, and the auto-read ticks whose requests reached the simulator).
        QVERIFY2(bytes > 16 * ReportCollector::kCapacity, qPrintable(QString::number(bytes)));
        QVERIFY(peaks.samples > 0);
        QVERIFY(framesOf("FM") > requestsBefore);

        QVERIFY2(peaks.residentKiB - m_baselineKiB < kGrowthBoundKiB,
            qPrintable(QStringLiteral("grew by %1 KiB").arg(peaks.residentKiB - m_baselineKiB)));
        QVERIFY(peaks.buffer <= ReportCollector::kCapacity);
        QVERIFY(peaks.text8 <= ReportCollector::kCapacity);
        if (fillsTheBuffer) {
            QVERIFY(peaks.buffer == ReportCollector::kCapacity);
            QVERIFY(m_form->session().monitor().collector().dropped() > droppedBefore);
        }

        // Afterwards the line carries a report like any other; whatever the flood left unread
        // comes first.
        const QByteArray tag = kind.toLatin1() + "-after";
        simCommand("report " + QString::fromLatin1(afterFloodReport(tag)));
        find<QCheckBox>("Check1")->setChecked(false);
        find<QPushButton>("Command4")->click();
        QVERIFY(waitUntil(
            [&] { return find<QLineEdit>("Text1")->text() == QString::fromLatin1(tag + "W"); }, 15000));
        const struct {
            const char *box, *text;
        } expected[] = {
            { "Text2", "0.7W" },
            { "Text3", "33C" },
            { "Text4", "47C" },
            { "Text9", "2.1A" },
            { "Text13", "2.2A" },
            { "Text15", "2.3A" },
            { "Text16", "2.4A" },
            { "Text5", "26.1V" },
            { "Text17", "26.2V" },
            { "Text18", "26.3V" },
            { "Text19", "26.4V" },
            { "Text12", "0002D:03H:04M" },
            { "Text14", "v2.0" },
            { "Text11", "250W" },
        };
        for (const auto &e : expected)
            QCOMPARE(find<QLineEdit>(e.box)->text(), QString::fromLatin1(e.text));
        QCOMPARE(find<QProgressBar>("ProgressBar2")->value(), 'F' - 48);
        QVERIFY(!m_form->session().monitor().isStale());
        QVERIFY(waitUntil([&] { return text8().isEmpty() && m_form->session().monitor().buffer().isEmpty(); }, 3000));
        QVERIFY(m_form->session().link().isOpen());
        QCOMPARE(m_form->statusText(), QString("Ready"));
    }
};

QTEST_MAIN(TestUiFlood)
#include "tst_ui_flood.moc"
