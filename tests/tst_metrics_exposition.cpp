// The metrics file's text: the names, types and samples of every family, the numbers taken from the
// report's texts (and left out where a text has none), the escaping of text from the wire and the
// store; and the file itself, replaced whole or not at all when its folder is missing, read-only or
// full.
#include "metrics/exposition.h"
#include "metrics/prom_file.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>

namespace {

// The report's texts, in the order of report::fields().
const QStringList kFullReport = { "100W", "25W", "41C", "-5C", "10.5A", "10.25A", "0.0A", "9A", "48.0V",
    "47.5V", "48.25V", "0V", "0012D:03H:04M", "V2.13", "600W" };

metrics::Snapshot snapshotOf(const QStringList &texts)
{
    metrics::Snapshot s;
    for (int i = 0; i < report::kTextFields; ++i)
        s.display.texts[i] = texts[i];
    s.display.driveLevel = 52;
    s.display.alarms = { false, true, false, true, false }; // code 10: SWR and over-current
    s.display.alarmCode = QStringLiteral("10");
    s.display.carried = (1u << (report::kDriveBit + 1)) - 1; // every field came with the report
    s.reportsTotal = 7;
    s.lastReport = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 250), Qt::UTC);
    s.linkUp = true;
    s.port = 5;
    s.device = QStringLiteral("/dev/ttyUSB0");
    return s;
}

// The samples of kFullReport, as the file must hold them.
const QStringList kFullSamples = {
    R"(valtrona_forward_power_watts 100)",
    R"(valtrona_reflected_power_watts 25)",
    R"(valtrona_swr_ratio 3)",
    R"(valtrona_power_limit_watts 600)",
    R"(valtrona_rf_drive_level 52)",
    R"(valtrona_temperature_celsius{sensor="psu"} 41)",
    R"(valtrona_temperature_celsius{sensor="amplifier"} -5)",
    R"(valtrona_current_amperes{amplifier="1"} 10.5)",
    R"(valtrona_current_amperes{amplifier="2"} 10.25)",
    R"(valtrona_current_amperes{amplifier="3"} 0)",
    R"(valtrona_current_amperes{amplifier="4"} 9)",
    R"(valtrona_voltage_volts{amplifier="1"} 48)",
    R"(valtrona_voltage_volts{amplifier="2"} 47.5)",
    R"(valtrona_voltage_volts{amplifier="3"} 48.25)",
    R"(valtrona_voltage_volts{amplifier="4"} 0)",
    R"(valtrona_alarm{alarm="swr"} 1)",
    R"(valtrona_alarm{alarm="amp_temperature"} 0)",
    R"(valtrona_alarm{alarm="psu_temperature"} 0)",
    R"(valtrona_alarm{alarm="over_current"} 1)",
    R"(valtrona_alarm{alarm="rf_overdrive"} 0)",
    R"(valtrona_link_up 1)",
    R"(valtrona_last_report_timestamp_seconds 1767323045.25)",
    R"(valtrona_reports_total 7)",
    R"(valtrona_transmitter_info{firmware="V2.13",port="COM 5",device="/dev/ttyUSB0"} 1)",
};

QStringList without(QStringList samples, const QStringList &prefixes)
{
    for (const QString &p : prefixes)
        samples.removeIf([&](const QString &s) { return s.startsWith(p); });
    return samples;
}

QStringList replaced(QStringList samples, const QString &prefix, const QString &line)
{
    for (QString &s : samples)
        if (s.startsWith(prefix))
            s = line;
    return samples;
}

} // namespace

class TestMetricsExposition : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void leadingNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("has");
        QTest::addColumn<double>("value");
        QTest::newRow("watts") << "12.5W" << true << 12.5;
        QTest::newRow("zero") << "0.0W" << true << 0.0;
        QTest::newRow("no unit") << "45" << true << 45.0;
        QTest::newRow("negative") << "-3C" << true << -3.0;
        QTest::newRow("plus") << "+2A" << true << 2.0;
        QTest::newRow("blanks first") << "  7V" << true << 7.0;
        QTest::newRow("point, no fraction") << "5.W" << true << 5.0;
        QTest::newRow("fraction only") << ".5V" << true << 0.5;
        QTest::newRow("empty") << "" << false << 0.0;
        QTest::newRow("unit only") << "W" << false << 0.0;
        QTest::newRow("placeholder") << "-------" << false << 0.0;
        QTest::newRow("words") << "n/a" << false << 0.0;
        QTest::newRow("point only") << ".W" << false << 0.0;
        QTest::newRow("two signs") << "--5" << false << 0.0;
        QTest::newRow("other digits") << QString::fromUtf8("٣W") << false << 0.0; // Arabic-Indic three
        QTest::newRow("too large") << QString(400, u'9') << false << 0.0;
    }

    void leadingNumber()
    {
        QFETCH(QString, text);
        QFETCH(bool, has);
        QFETCH(double, value);
        const std::optional<double> got = metrics::leadingNumber(text);
        QCOMPARE(got.has_value(), has);
        if (has)
            QCOMPARE(*got, value);
    }

    void standingWaveRatio()
    {
        QCOMPARE(metrics::standingWaveRatio(100, 0), 1.0);
        QCOMPARE(metrics::standingWaveRatio(100, 25), 3.0);
        QVERIFY(qAbs(*metrics::standingWaveRatio(500, 5) - 1.2222222222222) < 1e-9);
        QVERIFY(!metrics::standingWaveRatio(0, 0));
        QVERIFY(!metrics::standingWaveRatio(10, 10));
        QVERIFY(!metrics::standingWaveRatio(10, 12));
        QVERIFY(!metrics::standingWaveRatio(-1, 0));
    }

    void render_data()
    {
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<qint64>("reports");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QStringList>("samples");

        QTest::newRow("a whole report") << kFullReport << qint64(7) << "/dev/ttyUSB0" << kFullSamples;

        // The display's first texts are placeholders, not readings.
        QTest::newRow("before the first report")
            << kFullReport << qint64(0) << "/dev/ttyUSB0"
            << QStringList { "valtrona_link_up 1", "valtrona_reports_total 0",
                   R"(valtrona_transmitter_info{firmware="",port="COM 5",device="/dev/ttyUSB0"} 1)" };

        QStringList noNumbers = kFullReport;
        noNumbers[0] = "---W"; // forward power, and so the SWR
        noNumbers[3] = "n/a"; // amplifier temperature
        noNumbers[5] = ""; // current 2
        noNumbers[14] = "W"; // power limit
        QTest::newRow("fields without a number")
            << noNumbers << qint64(7) << "/dev/ttyUSB0"
            << without(kFullSamples,
                   { "valtrona_forward_power_watts", "valtrona_swr_ratio", "valtrona_power_limit_watts",
                       R"(valtrona_temperature_celsius{sensor="amplifier"})",
                       R"(valtrona_current_amperes{amplifier="2"})" });

        // A quote, a backslash and a line feed from the wire, and the same from the store. The
        // firmware label keeps printable ASCII only: the line feed is a "?".
        QStringList odd = kFullReport;
        odd[13] = "V\"2\\1\nx";
        QTest::newRow("text escaped")
            << odd << qint64(7) << "/dev/se\"r\\ial\n"
            << replaced(kFullSamples, "valtrona_transmitter_info",
                   "valtrona_transmitter_info{firmware=\"V\\\"2\\\\1?x\",port=\"COM 5\","
                   "device=\"/dev/se\\\"r\\\\ial\\n\"} 1");

        // Kilobytes of wire text in the firmware field: the label holds its first 64 characters,
        // a tab, a byte above "~" and a character beyond Latin-1 each as "?".
        QStringList longFirmware = kFullReport;
        longFirmware[13] = QString(4000, u'F');
        longFirmware[13].replace(1, 3, QStringLiteral("\t\u00e9\u20ac"));
        QTest::newRow("firmware clamped")
            << longFirmware << qint64(7) << "/dev/ttyUSB0"
            << replaced(kFullSamples, "valtrona_transmitter_info",
                   "valtrona_transmitter_info{firmware=\"F???" + QString(60, u'F')
                       + "\",port=\"COM 5\",device=\"/dev/ttyUSB0\"} 1");
    }

    // The display after a report that lacked fields still shows the older texts of those; the
    // file holds only what the report carried. (Pfwd=, Tpsu=, Uamp3=, Firmware=, AlarmCode= and
    // Audio= missing here; an alarm code that is no code counts as none.)
    void carriedOnly_data()
    {
        QTest::addColumn<quint32>("missing");
        QTest::addColumn<QString>("alarmCode");
        QTest::addColumn<QStringList>("absent");
        const QStringList fields = { "valtrona_forward_power_watts", "valtrona_swr_ratio",
            R"(valtrona_temperature_celsius{sensor="psu"})", R"(valtrona_voltage_volts{amplifier="3"})" };
        QStringList alarms;
        for (const char *a : { "swr", "amp_temperature", "psu_temperature", "over_current", "rf_overdrive" })
            alarms << QStringLiteral("valtrona_alarm{alarm=\"%1\"}").arg(QLatin1String(a));
        const quint32 texts = (1u << 0) | (1u << 2) | (1u << 10);
        QTest::newRow("texts") << texts << "10" << fields;
        QTest::newRow("alarm code and drive") << ((1u << report::kAlarmCodeBit) | (1u << report::kDriveBit))
                                              << "10" << (alarms + QStringList { "valtrona_rf_drive_level" });
        QTest::newRow("alarm code that is no code") << 0u << "1x" << alarms;
        QTest::newRow("firmware") << (1u << 13) << "10" << QStringList();
    }

    void carriedOnly()
    {
        QFETCH(quint32, missing);
        QFETCH(QString, alarmCode);
        QFETCH(QStringList, absent);
        metrics::Snapshot s = snapshotOf(kFullReport);
        s.display.carried &= ~missing;
        s.display.alarmCode = alarmCode;
        QStringList got;
        for (const QString &line : QString::fromUtf8(metrics::render(s)).split(u'\n', Qt::SkipEmptyParts)) {
            if (!line.startsWith(u'#'))
                got << line;
        }
        QStringList expected = without(kFullSamples, absent);
        if (missing & (1u << 13))
            expected = replaced(expected, "valtrona_transmitter_info",
                R"(valtrona_transmitter_info{firmware="",port="COM 5",device="/dev/ttyUSB0"} 1)");
        got.sort();
        expected.sort();
        QCOMPARE(got, expected);
    }

    // The file's lines are # HELP and # TYPE of a family, then its samples; exactly the families
    // that have samples, with their types, and exactly the expected samples.
    void render()
    {
        QFETCH(QStringList, texts);
        QFETCH(qint64, reports);
        QFETCH(QString, device);
        QFETCH(QStringList, samples);

        metrics::Snapshot s = snapshotOf(texts);
        s.reportsTotal = reports;
        if (reports == 0)
            s.lastReport = QDateTime();
        s.device = device;
        const QByteArray text = metrics::render(s);
        QVERIFY(text.endsWith('\n'));
        const QStringList lines = QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts);

        static const QRegularExpression help(QStringLiteral(R"(^# HELP (valtrona_[a-z_]+) \S.*$)"));
        static const QRegularExpression type(
            QStringLiteral(R"(^# TYPE (valtrona_[a-z_]+) (gauge|counter)$)"));
        static const QRegularExpression sample(QStringLiteral(R"(^(valtrona_[a-z_]+)(\{.*\})? (\S+)$)"));
        QStringList got;
        QStringList families;
        QString family;
        for (int i = 0; i < lines.size(); ++i) {
            const QString &line = lines[i];
            if (const auto h = help.match(line); h.hasMatch()) {
                QVERIFY2(i + 2 < lines.size(), qPrintable(line));
                const auto t = type.match(lines[i + 1]);
                QVERIFY2(t.hasMatch() && t.captured(1) == h.captured(1), qPrintable(lines[i + 1]));
                family = h.captured(1);
                QVERIFY2(!families.contains(family), qPrintable(family));
                families << family;
                QCOMPARE(
                    t.captured(2), QLatin1String(family == "valtrona_reports_total" ? "counter" : "gauge"));
                QVERIFY2(sample.match(lines[i + 2]).hasMatch(), "a family without samples");
                ++i;
                continue;
            }
            const auto m = sample.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(line));
            QCOMPARE(m.captured(1), family);
            got << line;
        }
        QCOMPARE(got, samples);
    }

    void fileReplacedWhole()
    {
        const QString folder = m_dir.filePath(QStringLiteral("whole"));
        PromFile file(folder);
        QString error;

        // No folder: nothing is made, and the text says which folder.
        QVERIFY(!file.write("a 1\n", &error));
        QVERIFY2(error.contains(folder), qPrintable(error));
        QVERIFY(!QFileInfo::exists(folder));

        QVERIFY(QDir().mkpath(folder));
        QVERIFY2(file.write("a 1\n", &error), qPrintable(error));
        QVERIFY(file.write("a 2\n", &error));
        QFile read(file.path());
        QVERIFY(read.open(QIODevice::ReadOnly));
        QCOMPARE(read.readAll(), QByteArray("a 2\n"));
        QCOMPARE(QFileInfo(file.path()).permissions() & QFileDevice::ReadOther, QFileDevice::ReadOther);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList { "valtrona.prom" });

        // A file where the folder should be.
        PromFile onFile(file.path());
        QVERIFY(!onFile.write("a 3\n", &error));
        QVERIFY2(error.contains(QString::fromLocal8Bit(std::strerror(ENOTDIR))), qPrintable(error));
    }

    // On a small disk of its own: read-only, then full. Each failed write leaves the old file byte
    // for byte and no temporary file behind.
    void fileKeptOnFaults()
    {
        const QString mountPoint = m_dir.filePath(QStringLiteral("small-disk"));
        QVERIFY(QDir().mkpath(mountPoint));
        const QByteArray native = QFile::encodeName(mountPoint);
        if (::mount("tmpfs", native.constData(), "tmpfs", 0, "size=64k") != 0)
            QSKIP(qPrintable(QStringLiteral("no tmpfs can be mounted here (%1)").arg(std::strerror(errno))));
        auto unmount = qScopeGuard([&] { ::umount2(native.constData(), MNT_DETACH); });

        PromFile file(mountPoint);
        QString error;
        const QByteArray old = "valtrona_link_up 1\n";
        QVERIFY2(file.write(old, &error), qPrintable(error));
        const auto unchanged = [&] {
            QFile read(file.path());
            return read.open(QIODevice::ReadOnly) && read.readAll() == old
                && QDir(mountPoint).entryList(QDir::Files | QDir::Hidden) == QStringList { "valtrona.prom" };
        };

        QVERIFY(::mount("tmpfs", native.constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=64k") == 0);
        QVERIFY(!file.write("valtrona_link_up 0\n", &error));
        QVERIFY2(error.contains(QString::fromLocal8Bit(std::strerror(EROFS))), qPrintable(error));
        QVERIFY(unchanged());
        QVERIFY(::mount("tmpfs", native.constData(), "tmpfs", MS_REMOUNT, "size=64k") == 0);

        // A text larger than the room left, then one that fits once room is made again.
        const QByteArray large(128 * 1024, '#');
        QVERIFY(!file.write(large, &error));
        QVERIFY2(error.contains(QString::fromLocal8Bit(std::strerror(ENOSPC))), qPrintable(error));
        QVERIFY(unchanged());
        QVERIFY(file.write("valtrona_link_up 0\n", &error));
    }

    void leftoversRemoved()
    {
        const QString folder = m_dir.filePath(QStringLiteral("leftovers"));
        QVERIFY(QDir().mkpath(folder));
        const QString old = QDir(folder).filePath(QStringLiteral(".valtrona.prom.abc123"));
        const QString fresh = QDir(folder).filePath(QStringLiteral(".valtrona.prom.def456"));
        const QString other = QDir(folder).filePath(QStringLiteral("node.prom"));
        for (const QString &path : { old, fresh, other }) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QFile aged(old);
        QVERIFY(aged.open(QIODevice::ReadWrite));
        QVERIFY(
            aged.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        aged.close();

        PromFile(folder).removeLeftovers();
        QVERIFY(!QFileInfo::exists(old));
        QVERIFY(QFileInfo::exists(fresh)); // may be a write going on right now
        QVERIFY(QFileInfo::exists(other));
    }
};

QTEST_GUILESS_MAIN(TestMetricsExposition)
#include "tst_metrics_exposition.moc"
