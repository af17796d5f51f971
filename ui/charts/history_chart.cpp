#include "ui/charts/history_chart.h"

#include <QAreaSeries>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QGraphicsLineItem>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMouseEvent>
#include <QScatterSeries>
#include <QValueAxis>
#include <cmath>
#include <vector>

namespace {

// The alarm indicators' "on" colour, shaded.
const QColor kAlarmShade(255, 0, 0, 56);
constexpr int kBandAlpha = 40;
constexpr int kMargin = 2;

void hideFromLegend(QChart *chart, QAbstractSeries *series)
{
    for (QLegendMarker *marker : chart->legend()->markers(series))
        marker->setVisible(false);
}

struct Range {
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    void take(float v)
    {
        if (std::isfinite(v)) {
            lo = qMin(lo, double(v));
            hi = qMax(hi, double(v));
        }
    }
    bool empty() const { return lo > hi; }
};

void applyRange(QValueAxis *axis, Range range)
{
    if (range.empty()) {
        // Whole-number labels (the RF drive) over 0 to 1 would read 0, 0, 1, 1, 1: a step of one.
        const bool whole = axis->labelFormat().endsWith(QLatin1String(".0f"));
        axis->setRange(0, whole ? qMax(1, axis->tickCount() - 1) : 1);
        return;
    }
    double lo = range.lo;
    double hi = range.hi;
    const double pad = hi - lo < 1e-9 ? qMax(1.0, std::fabs(hi) * 0.05) : (hi - lo) * 0.05;
    // Readings that cannot go below zero keep zero at the bottom.
    lo = range.lo >= 0 ? qMax(0.0, lo - pad) : lo - pad;
    hi += pad;
    axis->setRange(lo, hi);
    axis->applyNiceNumbers();
    if (range.lo >= 0 && axis->min() < 0)
        axis->setMin(0);
}

// Labels padded to one width: Qt Charts sizes the label column once, from the first labels.
QString labelFormatFor(const QString &unit)
{
    if (unit == QLatin1String("W"))
        return QStringLiteral("%7.1f");
    if (unit == QLatin1String("A"))
        return QStringLiteral("%5.2f");
    if (unit.isEmpty())
        return QStringLiteral("%5.0f");
    return QStringLiteral("%5.1f");
}

} // namespace

HistoryChart::HistoryChart(const QString &title, const QString &unit, const QList<Trace> &traces,
    const QStringList &alarmCaptions, const QString &rightUnit, QWidget *parent)
    // Made with its chart: a view made without one makes a default chart, which setChart() then
    // only lets go of, and nothing deletes.
    : QChartView(new QChart, parent)
    , m_traces(traces)
    , m_alarmCaptions(alarmCaptions)
{
    QChart *chart = this->chart();
    chart->setMargins(QMargins(kMargin, kMargin, kMargin, kMargin));
    chart->setBackgroundRoundness(0);
    chart->legend()->setAlignment(Qt::AlignTop);
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    chart->legend()->setFont(small);

    m_time = new QDateTimeAxis;
    m_time->setTickCount(7);
    m_time->setLabelsFont(small);
    m_values = new QValueAxis;
    m_values->setTitleText(unit.isEmpty() ? title : unit);
    m_values->setTitleFont(small);
    m_values->setLabelsFont(small);
    m_values->setLabelFormat(labelFormatFor(unit));
    chart->addAxis(m_time, Qt::AlignBottom);
    chart->addAxis(m_values, Qt::AlignLeft);
    if (!rightUnit.isEmpty()) {
        m_right = new QValueAxis;
        m_right->setTitleText(rightUnit);
        m_right->setTitleFont(small);
        m_right->setLabelsFont(small);
        m_right->setLabelFormat(QStringLiteral("%5.2f"));
        chart->addAxis(m_right, Qt::AlignRight);
    }

    auto attach = [this, chart](QAbstractSeries *series, bool right) {
        chart->addSeries(series);
        series->attachAxis(m_time);
        series->attachAxis(right && m_right ? m_right : m_values);
    };

    // Added first, so drawn first: the alarms under the bands under the lines.
    for (const QString &caption : m_alarmCaptions) {
        auto *upper = new QLineSeries(this);
        auto *lower = new QLineSeries(this);
        auto *area = new QAreaSeries(upper, lower);
        area->setName(caption);
        area->setColor(kAlarmShade);
        area->setPen(Qt::NoPen);
        attach(area, false);
        m_alarmAreas.append(area);
    }
    m_drawn.resize(m_traces.size());
    for (int t = 0; t < m_traces.size(); ++t) {
        Drawn &d = m_drawn[t];
        d.bandUpper = new QLineSeries(this);
        d.bandLower = new QLineSeries(this);
        d.band = new QAreaSeries(d.bandUpper, d.bandLower);
        QColor shade = m_traces[t].colour;
        shade.setAlpha(kBandAlpha);
        d.band->setColor(shade);
        d.band->setPen(Qt::NoPen);
        attach(d.band, m_traces[t].rightAxis);
        hideFromLegend(chart, d.band);
    }
    for (int t = 0; t < m_traces.size(); ++t)
        newSegment(t);
    for (int t = 0; t < m_traces.size(); ++t) {
        Drawn &d = m_drawn[t];
        d.dots = new QScatterSeries;
        d.dots->setMarkerSize(4);
        d.dots->setColor(m_traces[t].colour);
        d.dots->setBorderColor(m_traces[t].colour);
        attach(d.dots, m_traces[t].rightAxis);
        hideFromLegend(chart, d.dots);
    }

    m_cursor = new QGraphicsLineItem(chart);
    m_cursor->setPen(QPen(QColor(60, 60, 60), 1, Qt::DashLine));
    m_cursor->setZValue(1000);
    m_cursor->hide();

    connect(chart, &QChart::plotAreaChanged, this, [this] {
        setCursorTime(m_hasCursor ? m_cursorTime : -1);
        if (m_handlers.laidOut)
            m_handlers.laidOut();
    });
    setRenderHint(QPainter::Antialiasing);
    setMouseTracking(true);
    viewport()->setMouseTracking(true);
    setMinimumHeight(150);
}

QLineSeries *HistoryChart::newSegment(int trace)
{
    Drawn &d = m_drawn[trace];
    auto *line = new QLineSeries;
    QPen pen(m_traces[trace].colour);
    pen.setWidthF(1.5);
    line->setPen(pen);
    line->setName(m_traces[trace].name);
    chart()->addSeries(line);
    line->attachAxis(m_time);
    line->attachAxis(m_traces[trace].rightAxis && m_right ? m_right : m_values);
    if (!d.segments.isEmpty())
        hideFromLegend(chart(), line);
    d.segments.append(line);
    return line;
}

void HistoryChart::draw(const history::View &view, const QString &timeFormat)
{
    m_time->setFormat(timeFormat);
    m_time->setRange(QDateTime::fromMSecsSinceEpoch(view.from), QDateTime::fromMSecsSinceEpoch(view.to));

    Range left;
    Range right;
    for (const history::ViewColumn &c : view.columns) {
        for (const Trace &t : m_traces) {
            if (c.count[t.series] == 0)
                continue;
            Range &r = t.rightAxis && m_right ? right : left;
            r.take(c.min[t.series]);
            r.take(c.max[t.series]);
        }
    }
    applyRange(m_values, left);
    if (m_right)
        applyRange(m_right, right);
    refreshLabelSpace();

    const qint64 half = view.columnMs / 2;
    auto xOf = [&](const history::ViewColumn &c) { return double(qMin(c.time + half, view.to)); };
    for (int t = 0; t < m_traces.size(); ++t) {
        const int s = m_traces[t].series;
        Drawn &d = m_drawn[t];
        QList<QPointF> upper;
        QList<QPointF> lower;
        QList<QPointF> dots;
        QList<QList<QPointF>> segments;
        for (int i = 0; i < view.columns.size(); ++i) {
            if (view.columns[i].count[s] == 0)
                continue;
            int j = i;
            while (view.joined(j, s))
                ++j;
            const history::ViewColumn &first = view.columns[i];
            const history::ViewColumn &last = view.columns[j];
            // The band closes to nothing at each end of a piece, so that no band spans a gap.
            upper.append({ xOf(first), first.mean[s] });
            lower.append({ xOf(first), first.mean[s] });
            if (i == j) {
                dots.append({ xOf(first), first.mean[s] });
            } else {
                QList<QPointF> line;
                line.reserve(j - i + 1);
                for (int k = i; k <= j; ++k) {
                    const history::ViewColumn &c = view.columns[k];
                    line.append({ xOf(c), c.mean[s] });
                    upper.append({ xOf(c), c.max[s] });
                    lower.append({ xOf(c), c.min[s] });
                }
                segments.append(line);
            }
            upper.append({ xOf(last), last.mean[s] });
            lower.append({ xOf(last), last.mean[s] });
            i = j;
        }
        d.bandUpper->replace(upper);
        d.bandLower->replace(lower);
        d.dots->replace(dots);
        while (d.segments.size() < segments.size())
            newSegment(t);
        for (int k = 0; k < d.segments.size(); ++k) {
            if (k < segments.size())
                d.segments[k]->replace(segments[k]);
            else if (d.segments[k]->count() > 0)
                d.segments[k]->clear();
        }
    }

    // Each alarm's periods as a step that rises to the top of the plot and back, a column (a pixel)
    // at a time: a column shaded wherever the alarm was on in it, neighbouring ones drawn as one.
    const double lo = m_values->min();
    const double hi = m_values->max();
    const qint64 columns = qMax<qint64>(1, (view.to - view.from + view.columnMs - 1) / view.columnMs);
    for (int a = 0; a < m_alarmCaptions.size(); ++a) {
        std::vector<bool> on(size_t(columns), false);
        for (const history::AlarmPeriod &p : view.alarms) {
            if (p.caption != m_alarmCaptions[a])
                continue;
            const qint64 first = qBound<qint64>(0, (p.from - view.from) / view.columnMs, columns - 1);
            const qint64 last
                = qBound<qint64>(0, (qMax(p.from, p.to - 1) - view.from) / view.columnMs, columns - 1);
            for (qint64 c = first; c <= last; ++c)
                on[size_t(c)] = true;
        }
        QList<QPointF> upper;
        for (qint64 c = 0; c < columns; ++c) {
            if (!on[size_t(c)])
                continue;
            qint64 end = c;
            while (end + 1 < columns && on[size_t(end + 1)])
                ++end;
            const double left = double(view.from + c * view.columnMs);
            const double right = double(qMin(view.to, view.from + (end + 1) * view.columnMs));
            upper << QPointF(left, lo) << QPointF(left, hi) << QPointF(right, hi) << QPointF(right, lo);
            c = end;
        }
        QList<QPointF> lower;
        if (!upper.isEmpty())
            lower << QPointF(upper.first().x(), lo) << QPointF(upper.last().x(), lo);
        m_alarmAreas[a]->upperSeries()->replace(upper);
        m_alarmAreas[a]->lowerSeries()->replace(lower);
        // An alarm is in the legend while the chart shows it.
        for (QLegendMarker *marker : chart()->legend()->markers(m_alarmAreas[a]))
            marker->setVisible(!upper.isEmpty());
    }
    setCursorTime(m_hasCursor ? m_cursorTime : -1);
}

int HistoryChart::segmentCount(int trace) const
{
    int n = 0;
    for (const QLineSeries *s : m_drawn[trace].segments)
        n += s->count() > 0 ? 1 : 0;
    return n;
}

int HistoryChart::dotCount(int trace) const
{
    return m_drawn[trace].dots->count();
}

int HistoryChart::alarmPointCount(int alarm) const
{
    return int(m_alarmAreas[alarm]->upperSeries()->count());
}

std::optional<qint64> HistoryChart::timeAt(const QPoint &position) const
{
    const QPointF inChart = chart()->mapFromScene(mapToScene(position));
    if (!chart()->plotArea().contains(inChart) || m_drawn.isEmpty())
        return std::nullopt;
    return qint64(chart()->mapToValue(inChart, m_drawn[0].segments[0]).x());
}

void HistoryChart::setCursorTime(qint64 time)
{
    m_hasCursor = time >= 0;
    m_cursorTime = time;
    if (!m_hasCursor || m_drawn.isEmpty()) {
        m_cursor->hide();
        return;
    }
    const QRectF area = chart()->plotArea();
    const double x = chart()->mapToPosition(QPointF(double(time), 0), m_drawn[0].segments[0]).x();
    if (x < area.left() || x > area.right()) {
        m_cursor->hide();
        return;
    }
    m_cursor->setLine(x, area.top(), x, area.bottom());
    m_cursor->show();
}

void HistoryChart::mouseMoveEvent(QMouseEvent *event)
{
    QChartView::mouseMoveEvent(event);
    const auto time = timeAt(event->position().toPoint());
    if (time && m_handlers.hovered)
        m_handlers.hovered(*time);
    else if (!time && m_handlers.left)
        m_handlers.left();
}

void HistoryChart::leaveEvent(QEvent *event)
{
    QChartView::leaveEvent(event);
    if (m_handlers.left)
        m_handlers.left();
}

// Qt Charts sizes the value labels' column from the labels it had when it last laid the chart out,
// and not again when only the range changes (before the chart is first laid out, it keeps the
// column of an empty axis, and the labels show cut short). A new label format makes it measure.
void HistoryChart::refreshLabelSpace()
{
    for (QValueAxis *axis : { m_values, m_right }) {
        if (!axis)
            continue;
        const QString format = axis->labelFormat();
        axis->setLabelFormat(format + QLatin1Char(' '));
        axis->setLabelFormat(format);
    }
}

void HistoryChart::resizeEvent(QResizeEvent *event)
{
    QChartView::resizeEvent(event);
    refreshLabelSpace();
}

int HistoryChart::plotWidth() const
{
    return int(chart()->plotArea().width());
}

QPair<double, double> HistoryChart::naturalSides() const
{
    const QRectF area = chart()->plotArea();
    return { area.left() - m_extraLeft, chart()->size().width() - area.right() - m_extraRight };
}

void HistoryChart::alignSides(double left, double right)
{
    const QPair<double, double> natural = naturalSides();
    const int extraLeft = qMax(0, int(std::ceil(left - natural.first)));
    const int extraRight = qMax(0, int(std::ceil(right - natural.second)));
    if (extraLeft == m_extraLeft && extraRight == m_extraRight)
        return;
    m_extraLeft = extraLeft;
    m_extraRight = extraRight;
    chart()->setMargins(QMargins(kMargin + extraLeft, kMargin, kMargin + extraRight, kMargin));
}

namespace {

class LinkedMaker : public HistoryPlotMaker
{
public:
    HistoryPlot *makePlot(const QString &title, const QString &unit, const QList<HistoryPlot::Trace> &traces,
        const QStringList &alarmCaptions, const QString &rightUnit, QWidget *parent) override
    {
        return new HistoryChart(title, unit, traces, alarmCaptions, rightUnit, parent);
    }
};

} // namespace

HistoryPlotMaker &historyChartMaker()
{
    static LinkedMaker maker;
    return maker;
}
