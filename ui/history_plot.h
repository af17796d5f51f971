#pragma once

#include "history/history_view.h"

#include <QColor>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

// One chart of the history window, as the window uses it. Qt Charts draws the charts, and it comes
// with Qt OpenGL and the GL libraries: about 2 MiB that a panel which spends weeks in the tray has
// no use for until the operator opens View > History. So the charts live in a module of their own
// (ui/charts), loaded on the history window's first opening, and the window knows them only
// through this interface.
class HistoryPlot
{
public:
    struct Trace {
        history::Series series;
        QString name; // "Forward", ...
        QColor colour;
        bool rightAxis = false; // on the second value axis (the SWR beside the powers)
    };
    struct Handlers {
        std::function<void(qint64)> hovered; // the pointer is over this time
        std::function<void()> left; // the pointer left the plot
        std::function<void()> laidOut; // the plot area moved
    };

    virtual ~HistoryPlot() = default;

    // The chart itself, to lay out; it belongs to the parent it was made with.
    virtual QWidget *widget() = 0;
    virtual void setHandlers(Handlers handlers) = 0;

    // Draws `view`; `timeFormat` labels the time axis.
    virtual void draw(const history::View &view, const QString &timeFormat) = 0;
    // The vertical line of the hovered time on this chart (an invalid time hides it).
    virtual void setCursorTime(qint64 time) = 0;
    // The width of the plot area in pixels: the window reads a column for each.
    virtual int plotWidth() const = 0;
    virtual const QList<Trace> &traces() const = 0;

    // The space beside the plot area the chart's own layout leaves (left, right), and margins added
    // so that it is `left` and `right`: the window lines up its charts' time axes with them.
    virtual QPair<double, double> naturalSides() const = 0;
    virtual void alignSides(double left, double right) = 0;
};

// What the charts' module offers: charts.
class HistoryPlotMaker
{
public:
    virtual ~HistoryPlotMaker() = default;
    virtual HistoryPlot *makePlot(const QString &title, const QString &unit,
        const QList<HistoryPlot::Trace> &traces, const QStringList &alarmCaptions, const QString &rightUnit,
        QWidget *parent)
        = 0;
};

#define HistoryPlotMaker_iid "org.example.valtrona_panel.HistoryPlotMaker/1"
Q_DECLARE_INTERFACE(HistoryPlotMaker, HistoryPlotMaker_iid)

namespace history_plots {

// The charts' module: lib/valtrona-panel/history-charts.so beside the program's bin folder, in the
// build tree as once installed.
QString modulePath();

// The maker of the charts: the one given to useMaker(), else the module's, loaded on the first call
// and kept for the life of the process. Null when the module cannot be loaded, with the reason in
// `error`; it is tried again at the next call.
HistoryPlotMaker *maker(QString *error = nullptr);

// For programs that link the charts in (the tests, the benchmarks); null goes back to the module.
void useMaker(HistoryPlotMaker *maker);
// For the tests: the module's file in place of modulePath() (empty: back to it).
void useModulePath(const QString &path);

} // namespace history_plots
