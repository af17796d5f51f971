// What the core tells the window: the status display, the progress report, the downloads and the
// messages for the operator.
#include "ui/alarm_shape.h"
#include "ui/form1.h"

#include "settings/store.h"

#include <QApplication>
#include <QDateTime>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>

namespace {

// A message of the program: its title, an OK button, plain text, not blocking the event loop (the
// link, the timer and the tray go on while it is open).
QMessageBox *openMessage(QWidget *parent, const char *name, const QString &text, QMessageBox::Icon icon)
{
    auto *box = new QMessageBox(icon, QString::fromLatin1(Form1::kTitle), text, QMessageBox::Ok, parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    // Shown from the event loop, after the caller has finished what it was doing.
    QMetaObject::invokeMethod(box, &QWidget::show, Qt::QueuedConnection);
    return box;
}

} // namespace

void Form1::wireStatus()
{
    connect(&m_session, &TransmitterSession::displayChanged, this, &Form1::showDisplay);
    connect(&m_session, &TransmitterSession::bufferChanged, this,
            [this] { m_text8->setPlainText(m_session.buffer()); });
    connect(&m_session, &TransmitterSession::progress, this, &Form1::showProgress);
    connect(&m_session, &TransmitterSession::staleChanged, this, &Form1::showStale);
    connect(&m_session, &TransmitterSession::runningChanged, this, &Form1::onRunningChanged);
    connect(&m_session, &TransmitterSession::missingPort, this, &Form1::showMissingPort);
    connect(&m_session, &TransmitterSession::linkProblem, this, &Form1::showProblem);
    connect(&m_session, &TransmitterSession::linkFailed, this,
            [this](LinkFailure, const QString &text) { showProblem(text); });
    connect(&m_session, &TransmitterSession::refused, this, &Form1::showRefused);
    connect(&m_session, &TransmitterSession::released, this, [this] {
        if (m_closing)
            quitWhenAlone();
    });
    // Ticks send nothing while another window of the program (the port setup dialog) is in front.
    m_session.setTickHold([this] {
        QWidget *active = QApplication::activeWindow();
        return active && isOtherWindowOfOurs(active);
    });

    connect(&m_station, &Station::problem, this, &Form1::showHistoryProblem);

    SettingsStore &store = SettingsStore::instance();
    connect(&store, &SettingsStore::saveFailed, this, &Form1::showSaveFailure);
    connect(&store, &SettingsStore::saveRecovered, this,
            [this] { statusBar()->showMessage(tr("The settings are saved again.")); });
    connect(&store, &SettingsStore::loadProblem, this, &Form1::showProblem);
}

void Form1::showDisplay()
{
    const report::Display &d = m_session.display();
    for (int i = 0; i < report::kTextFields; ++i) {
        if (!m_display[i])
            continue;
        m_display[i]->setText(d.texts[i]);
        m_display[i]->setCursorPosition(0);
    }
    m_progressBar2->setValue(qBound(0, d.driveLevel, 100));
    for (int i = 0; i < int(m_shapes.size()); ++i)
        m_shapes[i]->setOn(d.alarms[i]);
}

// Stale values stay on show, greyed, with the time of the last report as their tooltip.
void Form1::showStale(bool stale)
{
    const QDateTime last = m_session.lastReportTime();
    const QString tip = !stale ? QString()
                        : last.isValid() ? tr("No report since %1").arg(last.toString("hh:mm:ss"))
                                         : tr("No report received yet");
    for (QLineEdit *box : m_display) {
        if (!box)
            continue;
        QPalette palette = box->palette();
        palette.setColor(QPalette::Text, stale ? palette.color(QPalette::Disabled, QPalette::Text)
                                               : QApplication::palette(box).color(QPalette::Text));
        box->setPalette(palette);
        box->setToolTip(tip);
        box->setAccessibleDescription(tip);
    }
}

void Form1::showProgress(const QString &text, int value)
{
    statusBar()->showMessage(text);
    m_progressBar1->setValue(value);
}

void Form1::showProblem(const QString &text)
{
    statusBar()->showMessage(text);
}

void Form1::showMissingPort()
{
    if (m_missingPortBox)
        return;
    m_session.setMissingPortShowing(true);
    m_missingPortBox = openMessage(this, "MissingPortMessage", QString::fromLatin1(kMissingPortText),
                                   QMessageBox::Warning);
    // Closed is gone, even before the box is deleted: the next command may tell it again.
    connect(m_missingPortBox, &QDialog::finished, this, [this] {
        m_missingPortBox = nullptr;
        m_session.setMissingPortShowing(false);
    });
}

// Told once per episode of failing saves: the store signals the start of one episode only.
void Form1::showSaveFailure(const QString &text)
{
    statusBar()->showMessage(text);
    if (m_saveFailureBox)
        return;
    m_saveFailureBox = openMessage(this, "SaveFailureMessage", text, QMessageBox::Warning);
    connect(m_saveFailureBox, &QDialog::finished, this, [this] { m_saveFailureBox = nullptr; });
}

// Told once per episode: the history file signals the start of one only. The wire goes on.
void Form1::showHistoryProblem(const QString &text)
{
    statusBar()->showMessage(text);
    if (m_historyProblemBox)
        return;
    m_historyProblemBox = openMessage(this, "HistoryProblemMessage", text, QMessageBox::Warning);
    connect(m_historyProblemBox, &QDialog::finished, this, [this] { m_historyProblemBox = nullptr; });
}

void Form1::onRunningChanged(bool running)
{
    for (QPushButton *b : {m_command4, m_command16, m_command9})
        b->setEnabled(!running);
}

void Form1::showRefused(const QString &text)
{
    statusBar()->showMessage(text);
    openMessage(this, "DownloadRefusedMessage", text, QMessageBox::Warning);
}

void Form1::Command4_Click()
{
    m_session.readStatus();
}

void Form1::Timer1_Timer()
{
    m_session.tick();
}

void Form1::Command16_Click()
{
    m_session.downloadAmplifier();
}

void Form1::Command9_Click()
{
    m_session.downloadLogo();
}

void Form1::Command11_Click()
{
    m_text8->clear();
    m_session.clearBuffer();
}

QString Form1::statusText() const
{
    return statusBar()->currentMessage();
}
