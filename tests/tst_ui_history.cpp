// View > History against the simulator: the window opens from the menu; the reports the panel
// takes in are recorded and drawn; a silence breaks the lines and an alarm period from the event
// log is shaded; pointing at a chart reads the values; the range shown exports as CSV; closing the
// window commits the samples still waiting; and the program itself, stopped with SIGTERM, closes as
// from E&xit with every report it took in committed.
#include "ui/charts/history_chart.h"
#include "ui/events_window.h"
#include "ui/form1.h"
#include "ui/history_window.h"

#include "history/event_log.h"
#include "history/history_database.h"
#include "history/sample_export.h"
#include "history/sample_recorder.h"
#include "history/sample_store.h"
#include "support/sim_process.h"
#include "support/test_env.h"

#include <QAction>
#include <QChart>
#include <QComboBox>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTreeWidget>
#include <QValueAxis>
#include <QtTest>

#include <csignal>
#include <memory>

using namespace history;

namespace {

const char kLiveReport[]
    = "Pfwd=123.4W,Pref=1.2W,Tpsu=30C,Tamp=40C,Uptime=0001D:02H:03M,AlarmCode=00,Audio=5";

qint64 samplesAfter(qint64 time)
{
    HistoryDatabase db(HistoryDatabase::defaultPath(), HistoryDatabase::Mode::ReadOnly);
    if (!db.open())
        return -1;
    QSqlQuery q(db.reader());
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM samples WHERE time > %1").arg(time)) || !q.next())
        return -1;
    return q.value(0).toLongLong();
}

} // namespace

class TestUiHistory : public QObject
{
    Q_OBJECT

    TestStoreHome m_home;
    SimProcess m_sim;
    std::unique_ptr<Form1> m_form;
    qint64 m_seedStart = 0; // two hours of history before the test: a silence, an alarm
    qint64 m_gapFrom = 0;
    qint64 m_gapTo = 0;
    qint64 m_alarmFrom = 0;
    qint64 m_alarmTo = 0;

    HistoryWindow *window() const { return m_form->findChild<HistoryWindow *>(); }

    void seed()
    {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        m_seedStart = periodStart(now - 3 * kHourMs, kMinuteMs);
        m_gapFrom = m_seedStart + 40 * kMinuteMs;
        m_gapTo = m_gapFrom + 15 * kMinuteMs;
        m_alarmFrom = m_seedStart + 70 * kMinuteMs;
        m_alarmTo = m_alarmFrom + 10 * kMinuteMs;
        {
            SampleRecorder recorder(HistoryDatabase::defaultPath());
            for (qint64 t = m_seedStart; t < m_seedStart + 2 * kHourMs; t += 1000) {
                if (t >= m_gapFrom && t < m_gapTo)
                    continue;
                Sample s;
                s.time = t;
                s.values[Forward] = 150;
                s.values[Reflected] = t >= m_alarmFrom && t < m_alarmTo ? 12 : 1.5;
                s.values[AmpTemp] = 45;
                s.values[RfDrive] = 50;
                s.computeSwr();
                recorder.add(s);
            }
            QVERIFY(recorder.sync());
        }
        HistoryDatabase db;
        EventLog log(db);
        qint64 clock = m_alarmFrom;
        log.setClock([&clock] { return QDateTime::fromMSecsSinceEpoch(clock, Qt::UTC); });
        QVERIFY(log.append(QStringLiteral("alarm on"), QStringLiteral("SWR ALARM")));
        clock = m_alarmTo;
        QVERIFY(log.append(QStringLiteral("alarm off"), QStringLiteral("SWR ALARM")));
    }

    HistoryChart *powerChart() const
    {
        return window()->findChild<HistoryChart *>(QStringLiteral("PowerChart"));
    }

    // Where `time` is on the power chart, in its viewport's coordinates.
    QPoint pointAt(qint64 time) const
    {
        HistoryChart *chart = powerChart();
        const QPointF inChart
            = chart->chart()->mapToPosition(QPointF(double(time), 100), chart->chart()->series().last());
        const QPointF inScene = chart->chart()->mapToScene(inChart);
        QPoint p = chart->mapFromScene(inScene);
        p.setY(int(chart->chart()->mapToScene(chart->chart()->plotArea().center()).y()));
        return p;
    }

    // The pointer moved over the chart (the offscreen platform moves no real pointer).
    static void hover(HistoryChart *chart, const QPoint &at)
    {
        QMouseEvent move(QEvent::MouseMove, at, chart->viewport()->mapToGlobal(at), Qt::NoButton,
            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(chart->viewport(), &move);
    }

private slots:
    void initTestCase()
    {
        // The charts linked in, to look inside them (tst_ui_history_module loads the module).
        history_plots::useMaker(&historyChartMaker());
        seed();
        QVERIFY2(
            m_sim.start({ "--report", QString::fromLatin1(kLiveReport) }), m_sim.stderrText().constData());
        m_home.writeStore("[Ports]\nCOM1=" + m_sim.linkPath().toUtf8()
            + "\n\n[ValtronaAmp%2B]\nAutoRead=True\nTrayAtStart=False\n");
        m_form = std::make_unique<Form1>();
        m_form->start();
        QVERIFY(waitUntil([&] { return m_form->session().display().texts[0] == "123.4W"; }, 5000));
    }

    void menuOpensWindow()
    {
        QAction *item = m_form->findChild<QAction *>(QStringLiteral("HistoryMnu"));
        QVERIFY(item);
        QCOMPARE(item->text(), QStringLiteral("&History..."));
        item->trigger();
        QTRY_VERIFY(window() && window()->isVisible());
        QCOMPARE(window()->windowTitle(), QStringLiteral("History - ValtronaAmp+"));
        QCOMPARE(window()->range(), HistoryWindow::Range::LastDay);
        QCOMPARE(window()->charts().size(), 5);
        QVERIFY(window()->view().ok);
        QVERIFY(window()->view().rows > 0);
        item->trigger(); // again: the same window
        QCOMPARE(m_form->findChildren<HistoryWindow *>().size(), 1);
    }

    // What the simulator reports now reaches the chart of the last hour, through the recorder.
    void liveReportsAreRecorded()
    {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        QVERIFY(waitUntil([&] { return samplesAfter(now) >= 2; }, 15000));
        window()->showRange(HistoryWindow::Range::LastHour);
        const View &view = window()->view();
        QCOMPARE(view.resolution, Resolution::Raw);
        QVERIFY(!view.columns.isEmpty());
        QCOMPARE(view.columns.last().mean[Forward], 123.4f);
        QCOMPARE(view.columns.last().mean[Reflected], 1.2f);
        QCOMPARE(view.columns.last().count[Voltage1], 0); // the report had none
    }

    void gapsAndAlarms()
    {
        window()->showSpan(m_seedStart, m_seedStart + 2 * kHourMs);
        const View &view = window()->view();
        QCOMPARE(view.resolution, Resolution::Raw);
        HistoryChart *chart = powerChart();
        QVERIFY(chart);
        QCOMPARE(chart->segmentCount(0), 2); // forward power: before and after the silence
        QCOMPARE(chart->dotCount(0), 0);
        // The temperature chart: the PSU never reported, the amplifier did.
        HistoryChart *temperatures = window()->findChild<HistoryChart *>(QStringLiteral("TemperatureChart"));
        QCOMPARE(temperatures->segmentCount(0), 0);
        QCOMPARE(temperatures->segmentCount(1), 2);

        QCOMPARE(view.alarms.size(), 1);
        QCOMPARE(view.alarms[0].caption, QStringLiteral("SWR ALARM"));
        QCOMPARE(view.alarms[0].from, m_alarmFrom);
        QCOMPARE(view.alarms[0].to, m_alarmTo);
        QVERIFY(chart->alarmCaptions().contains(QStringLiteral("SWR ALARM")));
        QCOMPARE(chart->alarmPointCount(0), 4);

        // A longer span: the same, a minute a row.
        window()->showSpan(m_seedStart - kDayMs, m_seedStart + 2 * kHourMs);
        QCOMPARE(window()->view().resolution, Resolution::Minute);
        QCOMPARE(chart->segmentCount(0), 2);
    }

    // A span with no report: every value axis still labels its ticks each differently (whole-number
    // labels over an empty chart's 0 to 1 once read 0, 0, 1, 1, 1).
    void emptySpanLabelsDiffer()
    {
        window()->showSpan(m_seedStart - 3 * kHourMs, m_seedStart - 2 * kHourMs);
        QVERIFY(window()->view().columns.isEmpty());
        int axes = 0;
        for (HistoryPlot *plot : window()->charts()) {
            auto *chart = dynamic_cast<HistoryChart *>(plot);
            QVERIFY(chart);
            for (QAbstractAxis *a : chart->chart()->axes(Qt::Vertical)) {
                auto *axis = qobject_cast<QValueAxis *>(a);
                QVERIFY(axis);
                QStringList labels;
                const int ticks = axis->tickCount();
                for (int i = 0; i < ticks; ++i) {
                    const double v = axis->min() + i * (axis->max() - axis->min()) / (ticks - 1);
                    labels << QString::asprintf(axis->labelFormat().toLatin1().constData(), v).trimmed();
                }
                labels.removeDuplicates();
                QVERIFY2(labels.size() == ticks,
                    qPrintable(chart->objectName() + QLatin1String(": ") + labels.join(QLatin1Char(' '))));
                ++axes;
            }
        }
        QCOMPARE(axes, 6); // the five charts' axes and the SWR's
    }

    void hoverReadsValues()
    {
        window()->showSpan(m_seedStart, m_seedStart + 2 * kHourMs);
        QApplication::processEvents();
        HistoryChart *chart = powerChart();
        hover(chart, pointAt(m_alarmFrom + 5 * kMinuteMs));
        QTRY_VERIFY2(window()->readoutText().contains(QStringLiteral("Forward 150.0 W")),
            qPrintable(window()->readoutText()));
        QVERIFY2(window()->readoutText().contains(QStringLiteral("Reflected 12.0 W")),
            qPrintable(window()->readoutText()));
        QVERIFY2(window()->readoutText().contains(QStringLiteral("SWR ALARM")),
            qPrintable(window()->readoutText()));
        QVERIFY2(window()->readoutText().contains(QStringLiteral("Amplifier 45.0")),
            qPrintable(window()->readoutText()));

        hover(chart, pointAt(m_gapFrom + 7 * kMinuteMs));
        QTRY_VERIFY2(window()->readoutText().contains(QStringLiteral("no report")),
            qPrintable(window()->readoutText()));
    }

    void exportFromWindow()
    {
        window()->showSpan(m_seedStart, m_seedStart + 2 * kHourMs);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("shown.csv"));
        QSignalSpy done(window(), &HistoryWindow::exported);
        window()->exportTo(file);
        QVERIFY(done.wait(30000));
        QVERIFY2(done.first().at(0).toBool(), qPrintable(done.first().at(2).toString()));
        const qint64 rows = done.first().at(1).toLongLong();
        QCOMPARE(rows, 2 * 3600 - 15 * 60);
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = f.readAll().split('\n');
        QCOMPARE(lines.first(), QByteArray(kSamplesCsvHeader));
        QCOMPARE(lines.size(), rows + 2); // the header, the rows, and the empty piece after the last LF
        QVERIFY(lines[1].startsWith(csvTime(m_seedStart).toLatin1() + ",150,1.5,"));
    }

    // Samples still waiting for their batch when the window closes are committed as it closes.
    void closingCommitsWhatWaits()
    {
        m_form->station().recorder().setBatchInterval(60 * 60 * 1000);
        QTest::qWait(100);
        const qint64 since = QDateTime::currentMSecsSinceEpoch();
        QSignalSpy reports(&m_form->session(), &TransmitterSession::displayChanged);
        QVERIFY(waitUntil([&] { return reports.count() >= 3; }, 10000));
        QVERIFY(m_form->station().recorder().waitingCount() >= 3);
        m_form->close();
        const int taken = int(reports.count());
        m_form.reset();
        QCOMPARE(samplesAfter(since), qint64(taken));
    }

    // A history file that cannot be written at all: both of its writers (the events and the samples)
    // fail, and the operator is told once.
    void problemToldOnce()
    {
        QTemporaryDir dir;
        QFile blocker(dir.filePath(QStringLiteral("not-a-folder")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        TransmitterSession session;
        // Told as the station opens the file, before anyone could listen: the events' connection.
        Station station(session, blocker.fileName() + QStringLiteral("/history.sqlite"));
        QVERIFY(station.database().isPaused());
        QSignalSpy problems(&station, &Station::problem);
        QSignalSpy samplesFailing(&station.recorder(), &SampleRecorder::writeProblem);
        station.recorder().setRetryInterval(100);
        station.database().setRetryInterval(100);
        QVERIFY(!station.log().append(QStringLiteral("panel started")));
        Sample s;
        s.time = QDateTime::currentMSecsSinceEpoch();
        station.recorder().add(s);
        station.recorder().flush();
        QVERIFY(samplesFailing.wait(5000)); // the samples' connection fails too
        QTest::qWait(500); // and both retry
        QVERIFY(!station.log().append(QStringLiteral("panel closed")));
        QCOMPARE(station.recorder().waitingCount(), 1);
        QCOMPARE(samplesFailing.count(), 1);
        QCOMPARE(problems.count(), 0); // not told a second time
    }

    // The real program: SIGTERM closes it as E&xit does. The simulator falls silent first, so that
    // every report it sent has been taken in; each of them is in the file afterwards.
    // The Events window puts a new event on top of the rows it shows: the rows already there stay
    // the same items (they are not read again from the file), and no more than it shows at most.
    void eventsWindowAddsOnTop()
    {
        QTemporaryDir dir;
        HistoryDatabase db(dir.filePath(QStringLiteral("events.sqlite")));
        EventLog log(db);
        for (int i = 0; i < EventsWindow::kShownAtMost + 10; ++i)
            QVERIFY(log.append(QStringLiteral("alarm on"), QString::number(i)));
        EventsWindow window(log);
        window.show();
        QTreeWidget *list = window.list();
        QCOMPARE(list->topLevelItemCount(), EventsWindow::kShownAtMost);
        QTreeWidgetItem *top = list->topLevelItem(0);
        QTreeWidgetItem *second = list->topLevelItem(1);
        QVERIFY(log.append(QStringLiteral("link lost"), QStringLiteral("/dev/ttyUSB0")));
        QCOMPARE(list->topLevelItemCount(), EventsWindow::kShownAtMost);
        QCOMPARE(list->topLevelItem(0)->text(1), QStringLiteral("link lost"));
        QCOMPARE(list->topLevelItem(1), top);
        QCOMPARE(list->topLevelItem(2), second);
        auto *kinds = window.findChild<QComboBox *>(QStringLiteral("EventKind"));
        QVERIFY(kinds->findText(QStringLiteral("link lost")) > 0);
    }

    void stoppedWithSigterm()
    {
        const qint64 since = QDateTime::currentMSecsSinceEpoch();
        const qint64 before = m_sim.logRecords(QStringLiteral("reply")).size();
        QProcess panel;
        panel.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        panel.start(QStringLiteral(VALTRONA_PANEL_PATH), { "-platform", "offscreen" });
        QVERIFY(panel.waitForStarted(10000));
        QVERIFY(m_sim.waitForRecords(QStringLiteral("reply"), int(before) + 4, 15000));
        bool ok = false;
        m_sim.command(QStringLiteral("silent on"), &ok);
        QVERIFY(ok);
        QTest::qWait(400);
        const qint64 sent = m_sim.logRecords(QStringLiteral("reply")).size();
        ::kill(pid_t(panel.processId()), SIGTERM);
        QVERIFY(panel.waitForFinished(15000));
        QCOMPARE(panel.exitStatus(), QProcess::NormalExit);
        QCOMPARE(panel.exitCode(), 0);
        m_sim.command(QStringLiteral("silent off"), &ok);

        HistoryDatabase db(HistoryDatabase::defaultPath(), HistoryDatabase::Mode::ReadOnly);
        QVERIFY(db.open());
        const QList<LoggedEvent> events = EventLog(db).newestFirst({ QStringLiteral("panel closed") }, 1);
        QCOMPARE(events.size(), 1);
        QVERIFY(events.first().time.toMSecsSinceEpoch() >= since);
        QCOMPARE(samplesAfter(since), sent - before); // a sample of each report it answered
    }
};

QTEST_MAIN(TestUiHistory)
#include "tst_ui_history.moc"
