#pragma once

#include <QWidget>

class EventLog;
struct LoggedEvent;
class QComboBox;
class QTreeWidget;

// View > Events: the event log, newest first, filterable by kind, kept up to date while open.
class EventsWindow : public QWidget
{
    Q_OBJECT
public:
    explicit EventsWindow(EventLog &log, QWidget *parent = nullptr);

    static constexpr int kShownAtMost = 5000; // the newest; --events prints them all

    // Reads the kinds and the newest events again.
    void refresh();
    QTreeWidget *list() const { return m_list; }

private:
    void add(const LoggedEvent &e);

    EventLog &m_log;
    QComboBox *m_kind;
    QTreeWidget *m_list;
};
