// The metrics as a station's Prometheus gets them: Debian's prometheus-node-exporter, on a loopback
// port with its textfile collector on the folder named in the store's [Metrics] group, serves what
// the real valtrona-panel --headless writes while the simulator answers on its port. Each report is
// read back from /metrics: the values, the alarms, a firmware text holding a quote, a backslash and
// a line feed, fields without numbers, and the link going down and up again. The collector must
// never find a file it cannot parse (node_textfile_scrape_error 0).
#include "support/headless_process.h"
#include "support/sim_process.h"
#include "support/test_env.h"

#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

// One sample of the exposition format, its label values unescaped.
struct Sample {
    QString name;
    QMap<QString, QString> labels;
    double value = 0;
};

// The samples of an exposition text. A line that does not parse is kept as a sample named "!",
// so that a check on the whole text fails on it.
QList<Sample> parseExposition(const QByteArray &text)
{
    QList<Sample> samples;
    for (const QByteArray &raw : text.split('\n')) {
        const QString line = QString::fromUtf8(raw);
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        Sample s;
        qsizetype i = 0;
        while (i < line.size() && line[i] != u'{' && line[i] != u' ')
            ++i;
        s.name = line.left(i);
        bool good = true;
        if (i < line.size() && line[i] == u'{') {
            ++i;
            while (good && i < line.size() && line[i] != u'}') {
                const qsizetype eq = line.indexOf(u'=', i);
                good = eq > i && eq + 1 < line.size() && line[eq + 1] == u'"';
                if (!good)
                    break;
                const QString key = line.mid(i, eq - i);
                QString value;
                i = eq + 2;
                while (i < line.size() && line[i] != u'"') {
                    if (line[i] == u'\\' && i + 1 < line.size()) {
                        const QChar next = line[++i];
                        value += next == u'n' ? QChar(u'\n') : next;
                    } else {
                        value += line[i];
                    }
                    ++i;
                }
                s.labels.insert(key, value);
                ++i; // the closing quote
                if (i < line.size() && line[i] == u',')
                    ++i;
            }
            ++i; // the closing brace
        }
        bool number = false;
        s.value = line.mid(i).trimmed().toDouble(&number);
        if (!good || !number)
            s.name = QStringLiteral("!") + line;
        samples.append(s);
    }
    return samples;
}

std::optional<double> valueOf(
    const QList<Sample> &samples, const QString &name, const QMap<QString, QString> &labels = {})
{
    for (const Sample &s : samples)
        if (s.name == name && s.labels == labels)
            return s.value;
    return std::nullopt;
}

// Expected samples of a row: "name" or "name label=value", and the value.
using Expected = QList<QPair<QString, double>>;

std::pair<QString, QMap<QString, QString>> keyOf(const QString &sampleKey)
{
    const QString name = sampleKey.section(u' ', 0, 0);
    QMap<QString, QString> labels;
    const QString label = sampleKey.section(u' ', 1);
    if (!label.isEmpty())
        labels.insert(label.section(u'=', 0, 0), label.section(u'=', 1));
    return { name, labels };
}

const QByteArray kBase = "Pfwd=100.0W,Pref=25.0W,Tpsu=41C,Tamp=55C,Iamp1=10.5A,Iamp2=10.25A,Iamp3=9.75A,"
                         "Iamp4=10.0A,Uamp1=48.0V,Uamp2=47.5V,Uamp3=48.25V,Uamp4=48.5V,Uptime=0012D:03H:04M,"
                         "Firmware=V2.13,PowerLimit=600W,AlarmCode=00,Audio=d$";

QByteArray withField(QByteArray report, const QByteArray &key, const QByteArray &value)
{
    const qsizetype at = report.indexOf(key + '=') + key.size() + 1;
    const qsizetype end = report.indexOf(',', at);
    return report.replace(at, end - at, value);
}

Expected alarms(int code)
{
    const char *names[] = { "amp_temperature", "swr", "psu_temperature", "over_current", "rf_overdrive" };
    Expected e;
    for (int bit = 0; bit < 5; ++bit)
        e.append({ QStringLiteral("valtrona_alarm alarm=%1").arg(QLatin1String(names[bit])),
            double((code >> bit) & 1) });
    return e;
}

} // namespace

class TestMetricsNodeExporter : public QObject
{
    Q_OBJECT

    TestStoreHome m_home;
    QTemporaryDir m_metrics;
    SimProcess m_sim;
    QProcess m_exporter;
    int m_port = 0;
    HeadlessProcess m_monitor;

    // GET /metrics from the exporter; empty when it did not answer 200.
    QByteArray scrape()
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, quint16(m_port));
        if (!socket.waitForConnected(2000))
            return {};
        socket.write("GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
        QByteArray response;
        waitUntil(
            [&] {
                response += socket.readAll();
                return socket.state() == QAbstractSocket::UnconnectedState;
            },
            10000);
        response += socket.readAll();
        const qsizetype body = response.indexOf("\r\n\r\n");
        if (!response.startsWith("HTTP/1.0 200") && !response.startsWith("HTTP/1.1 200"))
            return {};
        return response.mid(body + 4);
    }

    // Scrapes until `condition` holds of the samples; the last samples in `last`.
    bool scrapeUntil(
        const std::function<bool(const QList<Sample> &)> &condition, QList<Sample> *last = nullptr)
    {
        QList<Sample> samples;
        const bool met = waitUntil(
            [&] {
                samples = parseExposition(scrape());
                return condition(samples);
            },
            20000);
        if (last)
            *last = samples;
        return met;
    }

    // Starts the exporter on a free loopback port; another one if that port was taken meanwhile.
    bool startExporter(const QString &program)
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost, 0))
                return false;
            m_port = probe.serverPort();
            probe.close();
            m_exporter.setProgram(program);
            m_exporter.setArguments({ QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(m_port),
                QStringLiteral("--collector.disable-defaults"), QStringLiteral("--collector.textfile"),
                QStringLiteral("--collector.textfile.directory=%1").arg(m_metrics.path()) });
            m_exporter.setProcessChannelMode(QProcess::MergedChannels);
            m_exporter.start();
            if (!m_exporter.waitForStarted(10000))
                return false;
            if (waitUntil(
                    [&] { return !scrape().isEmpty() || m_exporter.state() != QProcess::Running; }, 20000)
                && m_exporter.state() == QProcess::Running)
                return true;
            m_exporter.kill();
            m_exporter.waitForFinished(5000);
        }
        return false;
    }

private slots:
    void initTestCase()
    {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("prometheus-node-exporter"));
        QVERIFY2(!program.isEmpty(),
            "prometheus-node-exporter is missing: scripts/install-deps.sh test installs it");
        QVERIFY(m_metrics.isValid());
        QVERIFY2(m_sim.start(), m_sim.stderrText().constData());
        // The folder from the store's own group, not from the command line.
        m_home.writeStore(HeadlessProcess::storeText(
            m_sim.linkPath(), "[Metrics]\nDirectory=" + QFile::encodeName(m_metrics.path()) + "\n"));
        QVERIFY2(startExporter(program), m_exporter.readAll().constData());
        QVERIFY(m_monitor.start());
    }

    // The simulator's own reports, as they come: the link up, the firmware, port and device.
    void liveReports()
    {
        QList<Sample> s;
        QVERIFY2(
            scrapeUntil(
                [](const QList<Sample> &s) { return valueOf(s, "valtrona_reports_total").value_or(0) >= 2; },
                &s),
            qPrintable(m_monitor.text()));
        QCOMPARE(valueOf(s, "valtrona_link_up").value_or(-1), 1.0);
        QCOMPARE(valueOf(s, "node_textfile_scrape_error").value_or(-1), 0.0);
        const QString reply = m_sim.logRecords(QStringLiteral("reply")).constLast().value("text").toString();
        const QString firmware = reply.section(QLatin1String("Firmware="), 1).section(u',', 0, 0);
        QVERIFY(!firmware.isEmpty());
        const QMap<QString, QString> info { { "firmware", firmware }, { "port", "COM 1" },
            { "device", m_sim.linkPath() } };
        QCOMPARE(valueOf(s, "valtrona_transmitter_info", info).value_or(-1), 1.0);
        QVERIFY(valueOf(s, "valtrona_forward_power_watts"));
        QVERIFY(valueOf(s, "valtrona_last_report_timestamp_seconds").value_or(0)
            > QDateTime::currentSecsSinceEpoch() - 3600);

        // From here on the test sends every report itself.
        bool ok = false;
        m_sim.command(QStringLiteral("silent on"), &ok);
        QVERIFY(ok);
    }

    void reports_data()
    {
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<Expected>("expected");
        QTest::addColumn<QStringList>("absent");
        QTest::addColumn<QString>("firmware");

        const Expected values = { { "valtrona_forward_power_watts", 100 },
            { "valtrona_reflected_power_watts", 25 }, { "valtrona_swr_ratio", 3 },
            { "valtrona_power_limit_watts", 600 }, { "valtrona_rf_drive_level", 52 },
            { "valtrona_temperature_celsius sensor=psu", 41 },
            { "valtrona_temperature_celsius sensor=amplifier", 55 },
            { "valtrona_current_amperes amplifier=1", 10.5 },
            { "valtrona_current_amperes amplifier=2", 10.25 },
            { "valtrona_current_amperes amplifier=3", 9.75 }, { "valtrona_current_amperes amplifier=4", 10 },
            { "valtrona_voltage_volts amplifier=1", 48 }, { "valtrona_voltage_volts amplifier=2", 47.5 },
            { "valtrona_voltage_volts amplifier=3", 48.25 }, { "valtrona_voltage_volts amplifier=4", 48.5 },
            { "valtrona_link_up", 1 } };

        QTest::newRow("values") << kBase << values + alarms(0) << QStringList() << "V2.13";
        QTest::newRow("SWR and over-current alarms")
            << withField(kBase, "AlarmCode", "10") << alarms(10) << QStringList() << "V2.13";
        QTest::newRow("temperature and overdrive alarms")
            << withField(kBase, "AlarmCode", "21") << alarms(21) << QStringList() << "V2.13";
        QTest::newRow("firmware with a quote, a backslash and a line feed")
            << withField(kBase, "Firmware", "V\"2\\1\nx") << values << QStringList()
            << "V\"2\\1?x"; // the label keeps printable ASCII only
        QTest::newRow("fields without a number")
            << withField(withField(kBase, "Pfwd", "---W"), "Tamp", "n/a")
            << Expected { { "valtrona_reflected_power_watts", 25 },
                   { "valtrona_temperature_celsius sensor=psu", 41 } }
            << QStringList { "valtrona_forward_power_watts", "valtrona_swr_ratio",
                   "valtrona_temperature_celsius sensor=amplifier" }
            << "V2.13";
    }

    void reports()
    {
        QFETCH(QByteArray, report);
        QFETCH(Expected, expected);
        QFETCH(QStringList, absent);
        QFETCH(QString, firmware);

        QList<Sample> s = parseExposition(scrape());
        const double before = valueOf(s, "valtrona_reports_total").value_or(-1);
        QVERIFY(before >= 0);
        bool sent = false;
        m_sim.command(QStringLiteral("sendhex ") + QString::fromLatin1(report.toHex()), &sent);
        QVERIFY(sent);
        QVERIFY2(
            scrapeUntil(
                [&](const QList<Sample> &s) { return valueOf(s, "valtrona_reports_total") == before + 1; },
                &s),
            qPrintable(m_monitor.text()));

        for (const Sample &sample : s)
            QVERIFY2(!sample.name.startsWith(u'!'), qPrintable(sample.name));
        QCOMPARE(valueOf(s, "node_textfile_scrape_error").value_or(-1), 0.0);
        for (const auto &[sampleKey, value] : expected) {
            const auto [name, labels] = keyOf(sampleKey);
            QVERIFY2(valueOf(s, name, labels) == value,
                qPrintable(
                    QStringLiteral("%1: %2").arg(sampleKey).arg(valueOf(s, name, labels).value_or(qQNaN()))));
        }
        for (const QString &sampleKey : absent) {
            const auto [name, labels] = keyOf(sampleKey);
            QVERIFY2(!valueOf(s, name, labels), qPrintable(sampleKey));
        }
        const QMap<QString, QString> info { { "firmware", firmware }, { "port", "COM 1" },
            { "device", m_sim.linkPath() } };
        QCOMPARE(valueOf(s, "valtrona_transmitter_info", info).value_or(-1), 1.0);
        // One info sample only: no text from the wire split it or made lines of its own.
        int infos = 0;
        for (const Sample &sample : s)
            infos += sample.name == QLatin1String("valtrona_transmitter_info") ? 1 : 0;
        QCOMPARE(infos, 1);
    }

    void linkDownAndUp()
    {
        QList<Sample> s;
        QVERIFY(m_sim.unplug());
        QVERIFY(
            scrapeUntil([](const QList<Sample> &s) { return valueOf(s, "valtrona_link_up") == 0.0; }, &s));
        QCOMPARE(valueOf(s, "node_textfile_scrape_error").value_or(-1), 0.0);
        QVERIFY(m_sim.replug());
        QVERIFY(
            scrapeUntil([](const QList<Sample> &s) { return valueOf(s, "valtrona_link_up") == 1.0; }, &s));
        QCOMPARE(valueOf(s, "node_textfile_scrape_error").value_or(-1), 0.0);
    }

    void cleanupTestCase()
    {
        if (m_monitor.sendSignal(SIGTERM))
            QVERIFY(m_monitor.waitForExit());
        m_exporter.terminate();
        if (!m_exporter.waitForFinished(5000))
            m_exporter.kill();
        m_exporter.waitForFinished(5000);
    }
};

QTEST_GUILESS_MAIN(TestMetricsNodeExporter)
#include "tst_metrics_node_exporter.moc"
