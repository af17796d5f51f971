#include "support/ui/panel_window.h"

#include "link/port_check.h"

#include <QTest>

void PanelWindow::start(const QByteArray &storeText, Options options)
{
    m_form.reset();
    m_home.replaceStore(storeText);
    m_form = std::make_unique<Form1>();
    if (options & ManualTicks)
        m_form->timer1().stop();
    m_form->start();
    if (options & LinkOpen)
        QVERIFY(m_form->session().link().isOpen());
    if (options & InFront)
        QVERIFY(activate());
}

Form1 &PanelWindow::create()
{
    m_form = std::make_unique<Form1>();
    return *m_form;
}

bool PanelWindow::activate()
{
    if (!m_form)
        return false;
    m_form->activateWindow();
    return QTest::qWaitForWindowActive(m_form.get());
}

QList<QMessageBox *> missingPortBoxes()
{
    QList<QMessageBox *> boxes;
    for (QMessageBox *box : shownMessageBoxes()) {
        if (box->text() == QString::fromLatin1(kMissingPortText))
            boxes << box;
    }
    return boxes;
}
