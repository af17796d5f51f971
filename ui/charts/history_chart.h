#pragma once

#include "ui/history_plot.h"

#include <QChartView>
#include <QColor>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class QAreaSeries;
class QDateTimeAxis;
class QGraphicsLineItem;
class QLineSeries;
class QScatterSeries;
class QValueAxis;

// One chart of the history window: some of a view's numbers against time, each as its mean line
// with the minimum-maximum band behind it, broken where no report came, over the periods of the
// chart's alarms shaded in the alarms' colour. Qt Charts draws it; a line broken in many places is
// drawn as several series, and a lone column as a dot.
class HistoryChart : public QChartView, public HistoryPlot
{
    Q_OBJECT
public:
    HistoryChart(const QString &title, const QString &unit, const QList<Trace> &traces,
        const QStringList &alarmCaptions, const QString &rightUnit = {}, QWidget *parent = nullptr);

    QWidget *widget() override { return this; }
    void setHandlers(Handlers handlers) override { m_handlers = std::move(handlers); }
    void draw(const history::View &view, const QString &timeFormat) override;
    void setCursorTime(qint64 time) override;
    int plotWidth() const override;
    const QList<Trace> &traces() const override { return m_traces; }
    QPair<double, double> naturalSides() const override;
    void alignSides(double left, double right) override;

    // The time under `position` (the view's coordinates), or nothing outside the plot area.
    std::optional<qint64> timeAt(const QPoint &position) const;

    QStringList alarmCaptions() const { return m_alarmCaptions; }
    // Line series that carry points (for tests: segments per trace, gaps included).
    int segmentCount(int trace) const;
    int dotCount(int trace) const;
    int alarmPointCount(int alarm) const;

protected:
    void mouseMoveEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    struct Drawn {
        QLineSeries *bandUpper = nullptr;
        QLineSeries *bandLower = nullptr;
        QAreaSeries *band = nullptr;
        QScatterSeries *dots = nullptr;
        QList<QLineSeries *> segments; // the first one carries the legend
    };

    QLineSeries *newSegment(int trace);
    void refreshLabelSpace();

    QList<Trace> m_traces;
    Handlers m_handlers;
    QStringList m_alarmCaptions;
    QList<Drawn> m_drawn;
    QList<QAreaSeries *> m_alarmAreas;
    QDateTimeAxis *m_time = nullptr;
    QValueAxis *m_values = nullptr;
    QValueAxis *m_right = nullptr;
    QGraphicsLineItem *m_cursor = nullptr;
    qint64 m_cursorTime = -1;
    bool m_hasCursor = false;
    int m_extraLeft = 0;
    int m_extraRight = 0;
};

// The charts' maker for programs that link them in (the tests and the benchmarks); the panel loads
// them from the module.
HistoryPlotMaker &historyChartMaker();
