#pragma once

#include <QWidget>

class EventLog;
class QComboBox;
class QTreeWidget;

// View > Events: the event log, newest first, filterable by kind, kept up to date while open.
class EventsWindow : public QWidget
{
    Q_OBJECT
public:
    explicit EventsWindow(EventLog &log, QWidget *parent = nullptr);

    void refresh();

private:
    EventLog &m_log;
    QComboBox *m_kind;
    QTreeWidget *m_list;
};
