#include "ui/events_window.h"

#include "history/event_log.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

EventsWindow::EventsWindow(EventLog &log, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_log(log)
    , m_kind(new QComboBox(this))
    , m_list(new QTreeWidget(this))
{
    setObjectName(QStringLiteral("EventsWindow"));
    setWindowTitle(tr("Events - ValtronaAmp+"));
    resize(640, 420);

    auto *label = new QLabel(tr("&Show:"), this);
    label->setBuddy(m_kind);
    m_kind->setObjectName(QStringLiteral("EventKind"));
    m_kind->setAccessibleName(tr("Show"));
    m_list->setObjectName(QStringLiteral("EventList"));
    m_list->setAccessibleName(tr("Events"));
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setHeaderLabels({ tr("Time (UTC)"), tr("Event"), tr("Detail") });
    m_list->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_list->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);

    auto *row = new QHBoxLayout;
    row->addWidget(label);
    row->addWidget(m_kind, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(m_list, 1);

    connect(m_kind, &QComboBox::currentIndexChanged, this, &EventsWindow::refresh);
    // A new event goes on top of what is shown; the rows are read again only when the window is
    // opened or the kind chosen (at most kShownAtMost of them, through an index).
    connect(&m_log, &EventLog::appended, this, [this](const LoggedEvent &e) {
        if (isVisible())
            add(e);
    });
    refresh();
}

void EventsWindow::refresh()
{
    const QString chosen = m_kind->currentIndex() > 0 ? m_kind->currentText() : QString();
    {
        // The kinds present, "All events" first; the choice stays.
        const QSignalBlocker quiet(m_kind);
        m_kind->clear();
        m_kind->addItem(tr("All events"));
        m_kind->addItems(m_log.eventKinds());
        const int at = chosen.isEmpty() ? 0 : m_kind->findText(chosen);
        m_kind->setCurrentIndex(at < 0 ? 0 : at);
    }
    m_list->clear();
    QList<QTreeWidgetItem *> items;
    const QStringList kinds = chosen.isEmpty() ? QStringList() : QStringList { chosen };
    for (const LoggedEvent &e : m_log.newestFirst(kinds, kShownAtMost)) {
        // Texts from the wire and the store stay plain text in a list item.
        items.append(new QTreeWidgetItem({ EventLog::timeText(e.time), e.event, e.detail }));
    }
    m_list->addTopLevelItems(items);
}

void EventsWindow::add(const LoggedEvent &e)
{
    if (m_kind->findText(e.event, Qt::MatchExactly) < 1) {
        // A kind not seen yet, in its sorted place after "All events"; the choice stays.
        const QSignalBlocker quiet(m_kind);
        int at = 1;
        while (at < m_kind->count() && m_kind->itemText(at) < e.event)
            ++at;
        m_kind->insertItem(at, e.event);
    }
    const QString chosen = m_kind->currentIndex() > 0 ? m_kind->currentText() : QString();
    if (!chosen.isEmpty() && chosen != e.event)
        return;
    m_list->insertTopLevelItem(0, new QTreeWidgetItem({ EventLog::timeText(e.time), e.event, e.detail }));
    while (m_list->topLevelItemCount() > kShownAtMost)
        delete m_list->takeTopLevelItem(m_list->topLevelItemCount() - 1);
}
