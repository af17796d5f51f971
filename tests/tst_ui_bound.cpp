#include "support/session_access.h"
#include "support/sim_process.h"
#include "support/ui/panel_window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QtTest>

namespace {

// Notes the reason of each focus-out `watched` is told of, for as long as it lives.
class FocusOutReasons : public QObject
{
public:
    FocusOutReasons(QWidget *watched, QList<int> &reasons)
        : m_watched(watched)
        , m_reasons(reasons)
    {
        watched->installEventFilter(this);
    }
    ~FocusOutReasons() override
    {
        if (m_watched)
            m_watched->removeEventFilter(this);
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::FocusOut)
            m_reasons << int(static_cast<QFocusEvent *>(event)->reason());
        return false;
    }

private:
    QPointer<QWidget> m_watched;
    QList<int> &m_reasons;
};

} // namespace

// The controls whose every change, and every departure of the focus, goes into the store at once:
// what the operator does in the window is checked in the file on disk.
class TestUiBound : public WindowTest
{
    Q_OBJECT

    SimProcess m_sim;

    QString stored(const QString &key) { return storedRecord().value(key); }

    // Moves the focus to `w` the way the Tab key does.
    void focus(QWidget *w)
    {
        w->setFocus(Qt::TabFocusReason);
        QVERIFY(w->hasFocus());
    }

private slots:
    void initTestCase() { QVERIFY2(m_sim.start(), m_sim.stderrText().constData()); }

    void init()
    {
        m_form.start(storeText(m_sim.linkPath(), "AutoRead=False\nTrayAtStart=False\nTXPower=37\n"),
            PanelWindow::InFront);
    }

    void cleanup() { m_form.reset(); }

    void listChoiceIsStoredAtOnce_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("setting");
        QTest::addColumn<int>("index");
        QTest::newRow("over-current, fourth entry") << "Combo14" << "CurrentAlarm" << 3;
        QTest::newRow("threshold, last") << "Combo1" << "Threshold" << 20;
        QTest::newRow("right gain, first") << "Combo2" << "RightGain" << 0;
        QTest::newRow("fan") << "Combo9" << "AutoFanTemp" << 12;
        QTest::newRow("nothing selected") << "Combo10" << "Treble" << -1;
    }

    void listChoiceIsStoredAtOnce()
    {
        QFETCH(QString, control);
        QFETCH(QString, setting);
        QFETCH(int, index);
        auto *combo = find<QComboBox>(control);
        QVERIFY(combo);
        QVERIFY(combo->currentIndex() != index);
        combo->setCurrentIndex(index);
        QCOMPARE(stored(setting), QString::number(index));
    }

    void keyboardChoiceIsStored()
    {
        auto *combo = find<QComboBox>("Combo5");
        focus(combo);
        const int before = combo->currentIndex();
        QTest::keyClick(combo, Qt::Key_Up);
        QCOMPARE(combo->currentIndex(), before - 1);
        QCOMPARE(stored("SWRAlarm"), QString::number(before - 1));
    }

    // Leaving a control stores and saves even when nothing changed.
    void leavingAControlSavesTheWholeStore_data()
    {
        QTest::addColumn<QString>("control");
        QTest::newRow("list") << "Combo14";
        QTest::newRow("hidden list") << "Combo11";
        QTest::newRow("check box") << "Check1";
        QTest::newRow("slider") << "Slider1";
        QTest::newRow("option") << "Option30";
        QTest::newRow("logo box") << "Text7";
    }

    void leavingAControlSavesTheWholeStore()
    {
        QFETCH(QString, control);
        auto *w = find<QWidget>(control);
        QVERIFY(w);
        focus(w);
        m_home.removeStore();
        QVERIFY(storedRecord().isEmpty());
        focus(find<QPushButton>("Command16"));
        const QMap<QString, QString> record = storedRecord();
        QCOMPARE(record.size(), 265);
        QCOMPARE(record.value("TXPower"), QString("37"));
    }

    // The focus leaves a control only when it moves on to another one. Its own list popping up, the
    // menu bar taking the keyboard or opening a menu, and another program's window in front take the
    // focus for a while and give it back: none of them runs the control's leave handler, which would
    // apply the logo line rule and save the store.
    void focusLeavesOnlyForAnotherControl_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("reason"); // what the control is told when the focus goes
        QTest::addColumn<bool>("leaves");
        for (const char *control : { "Combo14", "Text7" }) {
            QTest::addRow("%s, Tab", control) << control << "tab" << int(Qt::TabFocusReason) << true;
            QTest::addRow("%s, Alt to the menu bar", control)
                << control << "alt" << int(Qt::MenuBarFocusReason) << false;
            QTest::addRow("%s, a click on the menu bar", control)
                << control << "menu" << int(Qt::PopupFocusReason) << false;
            QTest::addRow("%s, another program in front", control)
                << control << "other program" << int(Qt::ActiveWindowFocusReason) << false;
        }
        QTest::newRow("Combo14, its list clicked open") << "Combo14"
                                                        << "click" << int(Qt::PopupFocusReason) << false;
        QTest::newRow("Combo14, its list opened with F4") << "Combo14"
                                                          << "f4" << int(Qt::PopupFocusReason) << false;
    }

    void focusLeavesOnlyForAnotherControl()
    {
        QFETCH(QString, control);
        QFETCH(QString, how);
        QFETCH(int, reason);
        QFETCH(bool, leaves);
        auto *w = find<QWidget>(control);
        QVERIFY(w);
        focus(w);
        auto *edit = qobject_cast<QLineEdit *>(w);
        if (edit)
            edit->setText("abc");
        m_home.removeStore();

        QList<int> reasons;
        FocusOutReasons watch(w, reasons);
        QMenuBar *bar = m_form->menuBar();
        if (how == "tab") {
            QTest::keyClick(w, Qt::Key_Tab);
        } else if (how == "alt") {
            QTest::keyClick(w, Qt::Key_Alt);
            QVERIFY(bar->hasFocus());
        } else if (how == "menu") {
            QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(bar->actions().first()).center());
            QVERIFY(waitUntil([] { return qobject_cast<QMenu *>(QApplication::activePopupWidget()); }, 3000));
        } else if (how == "other program") {
            QApplication::setActiveWindow(nullptr);
        } else {
            if (how == "f4")
                QTest::keyClick(w, Qt::Key_F4);
            else
                QTest::mouseClick(w, Qt::LeftButton);
            QVERIFY(QApplication::activePopupWidget());
        }
        // Told first why it goes (a popup may go on to take the focus for its own part).
        QVERIFY(!reasons.isEmpty());
        QCOMPARE(reasons.first(), reason);

        QCOMPARE(storedRecord().size(), leaves ? 265 : 0);
        if (edit)
            QCOMPARE(edit->text(), QString(leaves ? "abc             " : "abc"));
        while (QWidget *popup = QApplication::activePopupWidget())
            popup->close();
    }

    void checkBoxStates_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("setting");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("expected");
        for (const auto &[control, setting] : {std::pair{"Check1", "AutoRead"}, {"Check5", "TrayAtStart"}}) {
            QTest::addRow("%s unchecked", control) << control << setting << int(Qt::Unchecked) << "False";
            QTest::addRow("%s checked", control) << control << setting << int(Qt::Checked) << "True";
            QTest::addRow("%s greyed", control) << control << setting << int(Qt::PartiallyChecked) << "False";
        }
    }

    void checkBoxStates()
    {
        QFETCH(QString, control);
        QFETCH(QString, setting);
        QFETCH(int, state);
        QFETCH(QString, expected);
        auto *box = find<QCheckBox>(control);
        // Start from the other side, so the state set below is a change.
        box->setCheckState(state == Qt::Checked ? Qt::Unchecked : Qt::Checked);
        box->setCheckState(Qt::CheckState(state));
        QCOMPARE(stored(setting), expected);
    }

    void sliderMovesAreStored_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("expected");
        QTest::newRow("one step right") << int(Qt::Key_Right) << "38";
        QTest::newRow("left end") << int(Qt::Key_Home) << "0";
        QTest::newRow("right end") << int(Qt::Key_End) << "100";
    }

    void sliderMovesAreStored()
    {
        QFETCH(int, key);
        QFETCH(QString, expected);
        auto *slider = find<QSlider>("Slider1");
        QCOMPARE(slider->value(), 37);
        focus(slider);
        QTest::keyClick(slider, Qt::Key(key));
        QCOMPARE(stored("TXPower"), expected);
        QCOMPARE(QString::number(settingsRecord().TXPower), expected);
    }

    void stereoAndMonoAreStored()
    {
        auto *stereo = find<QRadioButton>("Option30");
        auto *mono = find<QRadioButton>("Option31");
        QVERIFY(mono->isChecked());
        stereo->click();
        QCOMPARE(stored("TXStereo"), QString("1"));
        QVERIFY(!mono->isChecked());
        mono->click();
        QCOMPARE(stored("TXStereo"), QString("0"));
    }

    void logoLineRule_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("trigger");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("expected");
        QTest::newRow("three characters, leaving") << "Text7" << "LogoLine1" << "leave" << "abc"
                                                   << "abc             ";
        QTest::newRow("twenty characters, leaving") << "Text6" << "LogoLine2" << "leave"
                                                    << "ABCDEFGHIJKLMNOPQRST" << "ABCDEFGHIJKLMNOP";
        QTest::newRow("empty, leaving") << "Text7" << "LogoLine1" << "leave" << "" << QString(16, ' ');
        QTest::newRow("click into the box") << "Text6" << "LogoLine2" << "click" << "Radio 1"
                                            << "Radio 1         ";
        QTest::newRow("return") << "Text7" << "LogoLine1" << "return" << "FM+" << "FM+             ";
    }

    void logoLineRule()
    {
        QFETCH(QString, box);
        QFETCH(QString, setting);
        QFETCH(QString, trigger);
        QFETCH(QString, typed);
        QFETCH(QString, expected);
        auto *edit = find<QLineEdit>(box);
        focus(edit);
        edit->setText(typed);
        if (trigger == "leave")
            focus(find<QPushButton>("Command9"));
        else if (trigger == "click")
            QTest::mouseClick(edit, Qt::LeftButton);
        else
            QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(edit->text(), expected);
        QCOMPARE(stored(setting), expected);
    }

    void charactersWithoutLatin1CodeAreReplaced()
    {
        auto *edit = find<QLineEdit>("Text7");
        focus(edit);
        edit->setText(QString::fromUtf8("Grüße €uro"));
        focus(find<QPushButton>("Command9"));
        QCOMPARE(edit->text(), QString::fromUtf8("Grüße ?uro      "));
        QCOMPARE(stored("LogoLine1"), QString::fromUtf8("Grüße ?uro      "));
        QVERIFY2(m_form->statusText().contains("\"?\""), qPrintable(m_form->statusText()));
    }

    void clearEmptiesTheReceiveBuffer()
    {
        auto *text8 = find<QPlainTextEdit>("Text8");
        SessionTestAccess::monitor(m_form->session()).receive("Pfwd=1.0W,Pref=");
        QCOMPARE(text8->toPlainText(), QString("Pfwd=1.0W,Pref="));
        find<QPushButton>("Command11")->click();
        QCOMPARE(text8->toPlainText(), QString());
        QCOMPARE(m_form->session().monitor().buffer(), QString());
        // What follows starts a report of its own.
        SessionTestAccess::monitor(m_form->session()).receive("Pfwd=2.5W,");
        QCOMPARE(text8->toPlainText(), QString("Pfwd=2.5W,"));
    }
};

QTEST_MAIN(TestUiBound)
#include "tst_ui_bound.moc"
