// The history window's charts come from a module of their own, loaded on the window's first
// opening: the panel starts without Qt Charts in the process, View > History brings it in with the
// five charts, and a module that is missing or is no module leaves a window that says why and still
// exports the range.
#include "support/ui/panel_window.h"
#include "ui/history_plot.h"
#include "ui/history_window.h"

#include "history/sample_export.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

namespace {

const char *const kChartNames[]
    = { "PowerChart", "TemperatureChart", "CurrentChart", "VoltageChart", "DriveChart" };

// Whether a file whose path contains `part` is mapped into this process.
bool mapped(const QString &part)
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return false;
    return QString::fromLocal8Bit(maps.readAll()).contains(part);
}

} // namespace

class TestUiHistoryModule : public WindowTest
{
    Q_OBJECT

    HistoryWindow *openHistory()
    {
        QAction *item = find<QAction>(QStringLiteral("HistoryMnu"));
        if (!item)
            return nullptr;
        item->trigger();
        return m_form->findChild<HistoryWindow *>();
    }

private slots:
    void cleanup()
    {
        closeWindow();
        history_plots::useModulePath({});
    }

    // Runs first: nothing before it has loaded the charts.
    void chartsLoadOnFirstOpening()
    {
        m_form.start("[ValtronaAmp%2B]\nAutoRead=False\nTrayAtStart=False\n");
        QVERIFY2(!mapped(QStringLiteral("libQt6Charts")), "Qt Charts is loaded before View > History");
        QVERIFY(!mapped(QStringLiteral("history-charts.so")));

        HistoryWindow *window = openHistory();
        QVERIFY(window);
        QVERIFY(window->isVisible());
        QCOMPARE(window->charts().size(), 5);
        for (const char *name : kChartNames) {
            auto *chart = window->findChild<QWidget *>(QLatin1String(name));
            QVERIFY2(chart && chart->inherits("QChartView") && chart->isVisible(), name);
        }
        QVERIFY(!window->findChild<QLabel *>(QStringLiteral("ChartsMissing")));
        QVERIFY(mapped(QStringLiteral("libQt6Charts")));
        QVERIFY(mapped(history_plots::modulePath()));
        QCOMPARE(history_plots::modulePath().section(QLatin1Char('/'), -3),
            QStringLiteral("lib/valtrona-panel/history-charts.so"));
    }

    void unloadableModuleIsSaid_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no file at all
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << QByteArray() << QStringLiteral("is missing");
        QTest::newRow("not a module")
            << QByteArray("not an ELF file\n") << QStringLiteral("is not a valid ELF object");
    }

    void unloadableModuleIsSaid()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        const QString module = m_home.path() + QStringLiteral("/history-charts.so");
        QFile::remove(module);
        if (!content.isEmpty()) {
            QFile file(module);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        history_plots::useModulePath(module);
        m_form.start("[ValtronaAmp%2B]\nAutoRead=False\nTrayAtStart=False\n");

        HistoryWindow *window = openHistory();
        QVERIFY(window);
        QVERIFY(window->charts().isEmpty());
        auto *missing = window->findChild<QLabel *>(QStringLiteral("ChartsMissing"));
        QVERIFY(missing && missing->isVisible());
        QVERIFY2(missing->text().startsWith(QStringLiteral("The charts cannot be shown: ")),
            qPrintable(missing->text()));
        QVERIFY2(missing->text().contains(reason), qPrintable(missing->text()));
        QVERIFY(missing->text().contains(module));

        // The range still exports.
        QSignalSpy done(window, &HistoryWindow::exported);
        const QString csv = m_home.path() + QStringLiteral("/range.csv");
        window->exportTo(csv);
        QVERIFY(done.wait(10000));
        QVERIFY2(done.first().at(0).toBool(), qPrintable(done.first().at(2).toString()));
        QFile out(csv);
        QVERIFY(out.open(QIODevice::ReadOnly));
        QCOMPARE(out.readLine(), QByteArray(history::kSamplesCsvHeader) + "\n");
    }
};

QTEST_MAIN(TestUiHistoryModule)
#include "tst_ui_history_module.moc"
