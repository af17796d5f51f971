#pragma once

#include "history/history_view.h"
#include "ui/history_plot.h"

#include <QElapsedTimer>
#include <QList>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>

class HistoryDatabase;
class QAbstractButton;
class QButtonGroup;
class QDateTimeEdit;
class QLabel;
class QPushButton;

// View > History: the recorded samples as charts over a chosen range (the last hour, day, week,
// month or year, or a span picked with two dates): the powers with the SWR, the temperatures, the
// currents, the voltages and the RF drive, with the alarm periods shaded; hovering a chart reads
// every value at that time; and the range as CSV. It reads the history file through the window's
// connection (reads never wait for the recorder's writes) and keeps a range that ends now up to
// date while it is open.
class HistoryWindow : public QWidget
{
    Q_OBJECT
public:
    enum class Range { LastHour, LastDay, LastWeek, LastMonth, LastYear, Span };
    using Clock = std::function<qint64()>;

    explicit HistoryWindow(HistoryDatabase &database, QWidget *parent = nullptr);

    // Shows the window of `parent` (one per parent, made on first use), raised and up to date.
    static HistoryWindow *open(HistoryDatabase &database, QWidget *parent);

    // Whether `window` (or the window it belongs to) only shows what the panel keeps, so that the
    // main window goes on reading the transmitter while it is in front: the history window does.
    static constexpr const char *kViewerProperty = "viewerWindow";
    static bool isViewer(const QWidget *window);

    void setClock(Clock clock) { m_clock = std::move(clock); }

    // Reads and draws a range ending now, or the span [from, to).
    void showRange(Range range);
    void showSpan(qint64 from, qint64 to);
    void refresh();

    Range range() const { return m_range; }
    const history::View &view() const { return m_view; }
    // How long the last read and draw took, in milliseconds (the window's own figure).
    qint64 lastLoadMs() const { return m_lastLoadMs; }

    // The values at `time` (what hovering shows); an invalid time clears it.
    void hoverAt(qint64 time);
    QString readoutText() const;

    // Writes the range shown as CSV to `file` in a thread of its own; exported() tells the end.
    void exportTo(const QString &file);
    // The charts; none when their module could not be loaded (the window says why, and the range
    // still exports).
    QList<HistoryPlot *> charts() const { return m_charts; }

signals:
    void loaded();
    void exported(bool ok, qint64 rows, const QString &message);

private:
    void chooseExportFile();
    void pickRange(int id);
    void alignCharts();
    QString timeFormat() const;

    HistoryDatabase &m_database;
    Clock m_clock;
    Range m_range = Range::LastDay;
    qint64 m_spanFrom = 0;
    qint64 m_spanTo = 0;
    history::View m_view;
    qint64 m_lastLoadMs = 0;
    QList<HistoryPlot *> m_charts;
    QButtonGroup *m_ranges;
    QDateTimeEdit *m_from;
    QDateTimeEdit *m_to;
    QPushButton *m_showSpan;
    QPushButton *m_export;
    QLabel *m_readout;
    QLabel *m_status;
    QTimer m_live; // redraws a range that ends now
    QTimer m_align; // lines the charts up once they are laid out
    bool m_exporting = false;
};
