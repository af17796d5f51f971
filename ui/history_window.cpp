#include "ui/history_window.h"

#include "history/history_database.h"
#include "history/sample_export.h"
#include "watch/watch_event.h"

#include <QButtonGroup>
#include <QCoreApplication>
#include <QDateTimeEdit>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSaveFile>
#include <QThread>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

using history::Series;

struct RangeButton {
    HistoryWindow::Range range;
    const char *text;
    const char *accessible;
    qint64 length;
};

const RangeButton kRanges[] = {
    { HistoryWindow::Range::LastHour, "1 h", "Last hour", history::kHourMs },
    { HistoryWindow::Range::LastDay, "24 h", "Last 24 hours", history::kDayMs },
    { HistoryWindow::Range::LastWeek, "7 d", "Last 7 days", 7 * history::kDayMs },
    { HistoryWindow::Range::LastMonth, "30 d", "Last 30 days", 30 * history::kDayMs },
    { HistoryWindow::Range::LastYear, "1 y", "Last year", 365 * history::kDayMs },
};

// Digits after the point in the readout, by unit.
int decimalsOf(Series s)
{
    switch (s) {
    case history::Swr:
    case history::Current1:
    case history::Current2:
    case history::Current3:
    case history::Current4:
        return 2;
    case history::RfDrive:
        return 0;
    default:
        return 1;
    }
}

QString unitOf(Series s)
{
    const QString unit = QLatin1String(history::series()[s].unit);
    return unit == QLatin1String("C") ? QStringLiteral("\u00b0C") : unit;
}

QString number(double v, Series s)
{
    return QString::number(v, 'f', decimalsOf(s));
}

QString localTime(qint64 ms, const char *format)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QLatin1String(format));
}

} // namespace

HistoryWindow::HistoryWindow(HistoryDatabase &database, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_database(database)
    , m_clock([] { return QDateTime::currentMSecsSinceEpoch(); })
    , m_ranges(new QButtonGroup(this))
    , m_from(new QDateTimeEdit(this))
    , m_to(new QDateTimeEdit(this))
    , m_showSpan(new QPushButton(tr("&Show"), this))
    , m_export(new QPushButton(tr("E&xport CSV..."), this))
    , m_readout(new QLabel(this))
    , m_status(new QLabel(this))
{
    setObjectName(QStringLiteral("HistoryWindow"));
    setProperty(kViewerProperty, true);
    setWindowTitle(tr("History - ValtronaAmp+"));
    resize(980, 900);

    auto *row = new QHBoxLayout;
    row->addWidget(new QLabel(tr("Range:"), this));
    for (const RangeButton &r : kRanges) {
        auto *button = new QToolButton(this);
        button->setText(QString::fromLatin1(r.text));
        button->setAccessibleName(tr(r.accessible));
        button->setObjectName(QStringLiteral("Range%1").arg(int(r.range)));
        button->setCheckable(true);
        m_ranges->addButton(button, int(r.range));
        row->addWidget(button);
    }
    auto *span = new QToolButton(this);
    span->setText(tr("Span"));
    span->setAccessibleName(tr("Chosen span"));
    span->setObjectName(QStringLiteral("RangeSpan"));
    span->setCheckable(true);
    m_ranges->addButton(span, int(Range::Span));
    row->addWidget(span);
    for (QDateTimeEdit *edit : { m_from, m_to }) {
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm"));
        edit->setCalendarPopup(true);
        edit->setEnabled(false);
    }
    m_from->setObjectName(QStringLiteral("SpanFrom"));
    m_from->setAccessibleName(tr("From"));
    m_to->setObjectName(QStringLiteral("SpanTo"));
    m_to->setAccessibleName(tr("To"));
    m_showSpan->setObjectName(QStringLiteral("ShowSpan"));
    m_showSpan->setEnabled(false);
    row->addWidget(m_from);
    row->addWidget(new QLabel(tr("to"), this));
    row->addWidget(m_to);
    row->addWidget(m_showSpan);
    row->addStretch(1);
    m_export->setObjectName(QStringLiteral("ExportCsv"));
    row->addWidget(m_export);

    auto caption = [](int bit) { return watch::alarmCaption(bit); };
    const QColor blue(31, 119, 180), orange(255, 127, 14), green(44, 160, 44), purple(148, 103, 189),
        brown(140, 86, 75), red(180, 30, 30);
    struct ChartOf {
        const char *name;
        QString title;
        QString unit;
        QList<HistoryPlot::Trace> traces;
        QStringList alarms;
        QString rightUnit;
    };
    const QList<ChartOf> charts = {
        { "PowerChart", tr("Power"), QStringLiteral("W"),
            { { history::Forward, tr("Forward"), blue }, { history::Reflected, tr("Reflected"), orange },
                { history::Swr, tr("SWR"), red, true } },
            { caption(1) }, tr("SWR") },
        { "TemperatureChart", tr("Temperature"), QStringLiteral("\u00b0C"),
            { { history::PsuTemp, tr("PSU"), purple }, { history::AmpTemp, tr("Amplifier"), orange } },
            { caption(0), caption(2) }, {} },
        { "CurrentChart", tr("Current"), QStringLiteral("A"),
            { { history::Current1, tr("Current 1"), blue }, { history::Current2, tr("Current 2"), orange },
                { history::Current3, tr("Current 3"), green },
                { history::Current4, tr("Current 4"), purple } },
            { caption(3) }, {} },
        { "VoltageChart", tr("Voltage"), QStringLiteral("V"),
            { { history::Voltage1, tr("Voltage 1"), blue }, { history::Voltage2, tr("Voltage 2"), orange },
                { history::Voltage3, tr("Voltage 3"), green },
                { history::Voltage4, tr("Voltage 4"), purple } },
            {}, {} },
        { "DriveChart", tr("Drive"), QString(), { { history::RfDrive, tr("RF drive"), brown } },
            { caption(4) }, {} },
    };
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(row);
    QString error;
    if (HistoryPlotMaker *maker = history_plots::maker(&error)) {
        for (int i = 0; i < charts.size(); ++i) {
            const ChartOf &c = charts[i];
            HistoryPlot *chart = maker->makePlot(c.title, c.unit, c.traces, c.alarms, c.rightUnit, this);
            chart->widget()->setObjectName(QLatin1String(c.name));
            layout->addWidget(chart->widget(), i == 0 ? 3 : 2);
            chart->setHandlers({ [this](qint64 time) { hoverAt(time); }, [this] { hoverAt(-1); },
                [this] { m_align.start(); } });
            m_charts.append(chart);
        }
    } else {
        // The readings are there all the same: the readout stays empty, the export works.
        auto *missing = new QLabel(tr("The charts cannot be shown: %1.").arg(error), this);
        missing->setObjectName(QStringLiteral("ChartsMissing"));
        missing->setTextFormat(Qt::PlainText);
        missing->setWordWrap(true);
        missing->setAlignment(Qt::AlignCenter);
        layout->addWidget(missing, 1);
    }
    m_align.setSingleShot(true);
    m_align.setInterval(0);
    connect(&m_align, &QTimer::timeout, this, &HistoryWindow::alignCharts);
    m_readout->setObjectName(QStringLiteral("HistoryReadout"));
    m_readout->setTextFormat(Qt::PlainText);
    m_readout->setWordWrap(true);
    m_readout->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_readout->setMinimumHeight(m_readout->fontMetrics().height() * 4);
    m_readout->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    m_status->setObjectName(QStringLiteral("HistoryStatus"));
    m_status->setTextFormat(Qt::PlainText);
    layout->addWidget(m_readout);
    layout->addWidget(m_status);

    connect(m_ranges, &QButtonGroup::idClicked, this, &HistoryWindow::pickRange);
    connect(m_showSpan, &QPushButton::clicked, this,
        [this] { showSpan(m_from->dateTime().toMSecsSinceEpoch(), m_to->dateTime().toMSecsSinceEpoch()); });
    connect(m_export, &QPushButton::clicked, this, &HistoryWindow::chooseExportFile);
    connect(&m_live, &QTimer::timeout, this, [this] {
        if (isVisible() && m_range != Range::Span)
            refresh();
    });
    m_ranges->button(int(m_range))->setChecked(true);
    hoverAt(-1);
}

HistoryWindow *HistoryWindow::open(HistoryDatabase &database, QWidget *parent)
{
    auto *window = parent->findChild<HistoryWindow *>(QString(), Qt::FindDirectChildrenOnly);
    if (!window)
        window = new HistoryWindow(database, parent);
    window->show();
    window->raise();
    window->activateWindow();
    window->refresh();
    return window;
}

bool HistoryWindow::isViewer(const QWidget *window)
{
    for (const QWidget *w = window; w; w = w->parentWidget()) {
        if (w->property(kViewerProperty).toBool())
            return true;
    }
    return false;
}

void HistoryWindow::pickRange(int id)
{
    const Range range = Range(id);
    const bool span = range == Range::Span;
    m_from->setEnabled(span);
    m_to->setEnabled(span);
    m_showSpan->setEnabled(span);
    if (span) {
        m_range = Range::Span;
        m_spanFrom = m_view.from;
        m_spanTo = m_view.to;
        m_from->setFocus();
        return;
    }
    showRange(range);
}

void HistoryWindow::showRange(Range range)
{
    m_range = range;
    if (QAbstractButton *b = m_ranges->button(int(range)))
        b->setChecked(true);
    refresh();
}

void HistoryWindow::showSpan(qint64 from, qint64 to)
{
    m_range = Range::Span;
    m_spanFrom = qMin(from, to);
    m_spanTo = qMax(from, to);
    if (QAbstractButton *b = m_ranges->button(int(Range::Span)))
        b->setChecked(true);
    refresh();
}

void HistoryWindow::refresh()
{
    QElapsedTimer timer;
    timer.start();
    const qint64 now = m_clock();
    qint64 from = m_spanFrom;
    qint64 to = m_spanTo;
    for (const RangeButton &r : kRanges) {
        if (r.range == m_range) {
            to = now + 1; // the sample of this very millisecond too
            from = to - r.length;
        }
    }
    if (m_range == Range::Span && to <= from)
        to = from + history::kMinuteMs;

    // One column per pixel of the plot.
    const int columns = qBound(200, m_charts.isEmpty() ? 1000 : m_charts.first()->plotWidth(), 4000);
    QSqlDatabase db = m_database.reader();
    m_view = history::loadView(db, from, to, columns, now);
    const QString format = timeFormat();
    for (HistoryPlot *chart : m_charts)
        chart->draw(m_view, format);
    m_align.start(); // once the new labels are laid out
    m_live.start(m_range == Range::LastHour ? 5000 : 60000);
    if (m_range != Range::Span) {
        // The span editors start from what is shown.
        m_from->setDateTime(QDateTime::fromMSecsSinceEpoch(m_view.from));
        m_to->setDateTime(QDateTime::fromMSecsSinceEpoch(m_view.to));
    }

    m_lastLoadMs = timer.elapsed();
    const char *level = m_view.resolution == history::Resolution::Raw ? "every report"
        : m_view.resolution == history::Resolution::Minute            ? "per minute"
                                                                      : "per hour";
    if (!m_view.ok)
        m_status->setText(
            tr("The history file %1 cannot be read.").arg(QDir::toNativeSeparators(m_database.path())));
    else if (m_view.columns.isEmpty())
        m_status->setText(tr("No report was recorded from %1 to %2.")
                              .arg(localTime(from, "yyyy-MM-dd HH:mm"), localTime(to, "yyyy-MM-dd HH:mm")));
    else
        m_status->setText(tr("%1 to %2 (local time): %3 rows, %4; read and drawn in %5 ms.")
                              .arg(localTime(from, "yyyy-MM-dd HH:mm"), localTime(to, "yyyy-MM-dd HH:mm"))
                              .arg(m_view.rows)
                              .arg(tr(level))
                              .arg(m_lastLoadMs));
    emit loaded();
}

// The charts' plot areas under one another, whatever the width of their value labels.
void HistoryWindow::alignCharts()
{
    double left = 0;
    double right = 0;
    for (HistoryPlot *chart : m_charts) {
        const QPair<double, double> sides = chart->naturalSides();
        left = qMax(left, sides.first);
        right = qMax(right, sides.second);
    }
    for (HistoryPlot *chart : m_charts)
        chart->alignSides(left, right);
}

QString HistoryWindow::timeFormat() const
{
    const qint64 span = m_view.to - m_view.from;
    if (span <= 2 * history::kDayMs)
        return QStringLiteral("HH:mm");
    if (span <= 10 * history::kDayMs)
        return QStringLiteral("ddd HH:mm");
    if (span <= 100 * history::kDayMs)
        return QStringLiteral("dd MMM");
    return QStringLiteral("MMM yyyy");
}

void HistoryWindow::hoverAt(qint64 time)
{
    for (HistoryPlot *chart : m_charts)
        chart->setCursorTime(time);
    if (time < 0) {
        m_readout->setText(tr("Point at a chart to read the values at that time."));
        return;
    }
    const int at = m_view.columnAt(time);
    const QString when = localTime(time, "yyyy-MM-dd HH:mm:ss");
    if (at < 0) {
        m_readout->setText(tr("%1: no report.").arg(when));
        return;
    }
    const history::ViewColumn &c = m_view.columns[at];
    QStringList alarms;
    for (const history::AlarmPeriod &p : m_view.alarms) {
        if (p.from <= c.time + m_view.columnMs && p.to >= c.time && !alarms.contains(p.caption))
            alarms << p.caption;
    }
    QStringList lines;
    QString head = c.last - c.first >= 1000
        ? tr("%1 to %2").arg(localTime(c.first, "yyyy-MM-dd HH:mm:ss"), localTime(c.last, "HH:mm:ss"))
        : localTime(c.first, "yyyy-MM-dd HH:mm:ss");
    if (!alarms.isEmpty())
        head += QStringLiteral("   ") + alarms.join(QStringLiteral(", "));
    lines << head;
    for (HistoryPlot *chart : m_charts) {
        QStringList parts;
        for (const HistoryPlot::Trace &t : chart->traces()) {
            const Series s = t.series;
            if (c.count[s] == 0) {
                parts << tr("%1 -").arg(t.name);
                continue;
            }
            QString text = QStringLiteral("%1 %2").arg(t.name, number(c.mean[s], s));
            const QString unit = unitOf(s);
            if (!unit.isEmpty())
                text += QLatin1Char(' ') + unit;
            if (number(c.min[s], s) != number(c.max[s], s))
                text += QStringLiteral(" (%1 to %2)").arg(number(c.min[s], s), number(c.max[s], s));
            parts << text;
        }
        lines << parts.join(QStringLiteral(", "));
    }
    m_readout->setText(lines.join(QLatin1Char('\n')));
}

QString HistoryWindow::readoutText() const
{
    return m_readout->text();
}

void HistoryWindow::chooseExportFile()
{
    const QString name = QStringLiteral("valtrona-history-%1.csv")
                             .arg(QDateTime::fromMSecsSinceEpoch(m_view.from, Qt::UTC)
                                      .toString(QStringLiteral("yyyyMMdd-HHmm")));
    const QString file = QFileDialog::getSaveFileName(this, tr("Export history as CSV"),
        QDir::home().filePath(name), tr("CSV files (*.csv);;All files (*)"));
    if (!file.isEmpty())
        exportTo(file);
}

void HistoryWindow::exportTo(const QString &file)
{
    if (m_exporting)
        return;
    m_exporting = true;
    m_export->setEnabled(false);
    m_status->setText(tr("Exporting to %1...").arg(QDir::toNativeSeparators(file)));
    const QString path = m_database.path();
    const qint64 from = m_view.from;
    const qint64 to = m_view.to;
    QPointer<HistoryWindow> self(this);
    // A connection of the thread's own: the window goes on while a long span is written.
    QThread *thread = QThread::create([self, path, file, from, to] {
        qint64 rows = 0;
        QString message;
        bool ok = false;
        {
            HistoryDatabase database(path, HistoryDatabase::Mode::ReadOnly);
            database.open();
            QSaveFile out(file);
            if (!out.open(QIODevice::WriteOnly))
                message = out.errorString();
            else if (!history::writeSamplesCsv(database, out, from, to, &rows))
                message = QCoreApplication::translate("HistoryWindow", "the history file cannot be read");
            else if (!out.commit())
                message = out.errorString();
            else
                ok = true;
        }
        QMetaObject::invokeMethod(qApp, [self, ok, rows, message, file] {
            if (!self)
                return;
            self->m_exporting = false;
            self->m_export->setEnabled(true);
            const QString text = ok
                ? tr("Exported %1 rows to %2.").arg(rows).arg(QDir::toNativeSeparators(file))
                : tr("The export to %1 failed: %2.").arg(QDir::toNativeSeparators(file), message);
            self->m_status->setText(text);
            emit self->exported(ok, rows, text);
        });
    });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}
