// The history window's charts as a module of their own, loaded with QPluginLoader on the window's
// first opening: only then do Qt Charts and the OpenGL libraries it needs come into the process.
#include "ui/charts/history_chart.h"

#include <QObject>

class ChartsModule : public QObject, public HistoryPlotMaker
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID HistoryPlotMaker_iid)
    Q_INTERFACES(HistoryPlotMaker)
public:
    HistoryPlot *makePlot(const QString &title, const QString &unit, const QList<HistoryPlot::Trace> &traces,
        const QStringList &alarmCaptions, const QString &rightUnit, QWidget *parent) override
    {
        return historyChartMaker().makePlot(title, unit, traces, alarmCaptions, rightUnit, parent);
    }
};

#include "charts_module.moc"
