#include "ui/history_plot.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPluginLoader>

namespace history_plots {

namespace {

HistoryPlotMaker *g_given = nullptr;
HistoryPlotMaker *g_loaded = nullptr;
QString g_path;

} // namespace

QString modulePath()
{
    if (!g_path.isEmpty())
        return g_path;
    return QDir::cleanPath(
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral(PANEL_CHARTS_MODULE)));
}

HistoryPlotMaker *maker(QString *error)
{
    if (g_given)
        return g_given;
    if (g_loaded)
        return g_loaded;
    const QString path = modulePath();
    if (!QFileInfo(path).isFile()) {
        if (error)
            *error = QCoreApplication::translate("HistoryWindow", "%1 is missing")
                         .arg(QDir::toNativeSeparators(path));
        return nullptr;
    }
    // Never unloaded: the charts it makes live as long as their window.
    QPluginLoader loader(path);
    QObject *instance = loader.instance();
    g_loaded = qobject_cast<HistoryPlotMaker *>(instance);
    if (!g_loaded && error)
        *error = instance
            ? QCoreApplication::translate("HistoryWindow", "%1 is not the panel's charts module")
                  .arg(QDir::toNativeSeparators(path))
            : loader.errorString();
    return g_loaded;
}

void useMaker(HistoryPlotMaker *maker)
{
    g_given = maker;
}

void useModulePath(const QString &path)
{
    g_path = path;
    g_loaded = nullptr;
}

} // namespace history_plots
