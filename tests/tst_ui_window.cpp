#include "ui/alarm_shape.h"

#include "support/sim_process.h"
#include "support/ui/panel_window.h"

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStatusBar>
#include <QtTest>

// The main window as the operator finds it: its controls, texts and places, and what the start-up
// selects from the store. The serial port is the simulator's, so start-up opens a real line.
class TestUiWindow : public WindowTest
{
    Q_OBJECT

    SimProcess m_sim;

    // A window on a store holding the port map and `record` (lines of the record's group, as in the
    // file).
    Form1 &startForm(const QByteArray &record)
    {
        m_form.start(storeText(m_sim.linkPath(), record));
        return *m_form;
    }

    QWidget *client() const { return m_form->centralWidget(); }

    // The rectangle of `w` in the client area's coordinates.
    QRect inClient(QWidget *w) const { return QRect(w->mapTo(client(), QPoint(0, 0)), w->size()); }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_sim.start(), m_sim.stderrText().constData());
    }

    void cleanup() { closeWindow(); }

    void freshStoreSelectsDefaults()
    {
        Form1 &form = startForm("");
        QCOMPARE(find<QComboBox>("Combo4")->currentText(), QString(">90degC"));
        QCOMPARE(find<QComboBox>("Combo8")->currentText(), QString(">28V"));
        QCOMPARE(find<QComboBox>("Combo5")->currentText(), QString(">80W"));
        QCOMPARE(find<QComboBox>("Combo14")->currentText(), QString("8.0A"));
        QCOMPARE(find<QComboBox>("Combo9")->currentText(), QString(">40degC(Default)"));
        QCOMPARE(find<QComboBox>("Combo1")->currentText(), QString("-7.50dB"));
        QCOMPARE(find<QComboBox>("Combo11")->currentText(), QString("1:2.00(Default)"));
        QVERIFY(find<QCheckBox>("Check1")->isChecked());
        QVERIFY(find<QCheckBox>("Check5")->isChecked());
        QVERIFY(find<QRadioButton>("Option31")->isChecked()); // TXStereo defaults to 0: mono
        QCOMPARE(find<QLineEdit>("Text7")->text(), QString("ZTK Electronics "));
        QCOMPARE(find<QLineEdit>("Text6")->text(), QString("<<VALTRONA FM+>>"));

        // The first selection wrote every key with its default.
        const QMap<QString, QString> stored = storedRecord();
        QCOMPARE(stored.size(), 265);
        QCOMPARE(stored.value("CurrentAlarm"), QString("6"));
        QCOMPARE(stored.value("Threshold"), QString("5"));
        QCOMPARE(stored.value("TrayAtStart"), QString("True"));
        QCOMPARE(stored.value("LogoLine2"), QString("<<VALTRONA FM+>>"));

        // This desktop has no tray, so the window came up in spite of TrayAtStart.
        QVERIFY(form.isVisible());
        QVERIFY(form.session().link().isOpen());
    }

    void listEntries_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("entry");
        QTest::newRow("over-current last") << "Combo14" << 98 << 97 << "99.0A";
        QTest::newRow("over-current 10 A") << "Combo14" << 98 << 8 << "10.0A";
        QTest::newRow("over-current first") << "Combo14" << 98 << 0 << "2.0A(Default)";
        QTest::newRow("right gain +8") << "Combo2" << 26 << 25 << "+8.0dB";
        QTest::newRow("right gain +6") << "Combo2" << 26 << 24 << "+6.0dB";
        QTest::newRow("left gain +8") << "Combo3" << 26 << 25 << "+8.0dB";
        QTest::newRow("reflected power") << "Combo5" << 10 << 9 << ">99W";
        QTest::newRow("amp temperature") << "Combo4" << 10 << 1 << ">50degC(Default)";
        QTest::newRow("psu voltage") << "Combo8" << 27 << 19 << ">65V";
        QTest::newRow("fan") << "Combo9" << 13 << 12 << "FAN Disabled";
        QTest::newRow("treble") << "Combo10" << 17 << 16 << "+8.0dB";
        QTest::newRow("bass") << "Combo12" << 17 << 0 << "-8.0dB";
        QTest::newRow("threshold") << "Combo1" << 21 << 8 << "-12dB(75uS)";
        QTest::newRow("compression") << "Combo11" << 13 << 12 << "1:4.00";
    }

    void listEntries()
    {
        QFETCH(QString, control);
        QFETCH(int, count);
        QFETCH(int, position);
        QFETCH(QString, entry);
        startForm("AutoRead=False\nTrayAtStart=False\n");
        QComboBox *combo = find<QComboBox>(control.toLatin1());
        QVERIFY(combo);
        QCOMPARE(combo->count(), count);
        QCOMPARE(combo->itemText(position), entry);
        QVERIFY(!combo->isEditable());
    }

    void storedPositionsAreSelected()
    {
        startForm("CurrentAlarm=3\nThreshold=20\nTreble=0\nRightGain=25\nTXPower=37\nAutoRead=False\n"
                  "TrayAtStart=False\nLogoLine1=short\n");
        QCOMPARE(find<QComboBox>("Combo14")->currentText(), QString("5.0A"));
        QCOMPARE(find<QComboBox>("Combo1")->currentText(), QString("-30.00dB"));
        QCOMPARE(find<QComboBox>("Combo10")->currentText(), QString("-8.0dB"));
        QCOMPARE(find<QComboBox>("Combo2")->currentText(), QString("+8.0dB"));
        QCOMPARE(find<QSlider>("Slider1")->value(), 37);
        QVERIFY(!find<QCheckBox>("Check1")->isChecked());
        QVERIFY(!find<QCheckBox>("Check5")->isChecked());
        // A stored line is shown as it is until edited.
        QCOMPARE(find<QLineEdit>("Text7")->text(), QString("short"));

        const QMap<QString, QString> stored = storedRecord();
        QCOMPARE(stored.value("CurrentAlarm"), QString("3"));
        QCOMPARE(stored.value("Threshold"), QString("20"));
        QCOMPARE(stored.value("AutoRead"), QString("False"));
        QCOMPARE(stored.value("TXPower"), QString("37"));
    }

    void stereoFromStore_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<bool>("stereo");
        QTest::newRow("mono") << QByteArray("0") << false;
        QTest::newRow("stereo") << QByteArray("1") << true;
        QTest::newRow("any other non-zero") << QByteArray("7") << true;
    }

    void stereoFromStore()
    {
        QFETCH(QByteArray, stored);
        QFETCH(bool, stereo);
        startForm("TXStereo=" + stored + "\nAutoRead=False\nTrayAtStart=False\n");
        QCOMPARE(find<QRadioButton>("Option30")->isChecked(), stereo);
        QCOMPARE(find<QRadioButton>("Option31")->isChecked(), !stereo);
        // Selecting Mono is a change of the options and stores 0; Stereo was selected already, so
        // a stored non-zero value stays as loaded.
        QCOMPARE(storedRecord().value("TXStereo"), QString::fromLatin1(stored));
    }

    void outOfRangeValuesStillStart()
    {
        Form1 &form = startForm("CurrentAlarm=500\nSWRAlarm=-7\nTXPower=250\nAutoRead=False\n"
                                "TrayAtStart=False\n");
        QVERIFY(form.isVisible());
        QCOMPARE(find<QComboBox>("Combo14")->currentIndex(), -1);
        QCOMPARE(find<QComboBox>("Combo5")->currentIndex(), -1);
        QCOMPARE(find<QSlider>("Slider1")->value(), 100);
        QCOMPARE(find<QComboBox>("Combo4")->currentText(), QString(">90degC"));
        // Nothing was selected in those lists, so their stored values are kept as they were.
        QCOMPARE(storedRecord().value("CurrentAlarm"), QString("500"));
        QCOMPARE(storedRecord().value("TXPower"), QString("250"));
    }

    void texts_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("text");
        QTest::newRow("board") << "Frame39" << "Universal RF amplifier control board";
        QTest::newRow("power frame") << "Frame41" << "Amplifier output power";
        QTest::newRow("power display") << "Frame3" << "Output power and  reflected power";
        QTest::newRow("status frame") << "Frame1" << "RF amplifier status";
        QTest::newRow("logo frame") << "Frame6" << "Logo setup";
        QTest::newRow("stereo frame") << "Frame45" << "Stereo/Mono";
        QTest::newRow("compressor") << "Frame44" << "Audio Compressor Settings";
        QTest::newRow("amp t") << "LabelShape1" << "AMP T   ALARM";
        QTest::newRow("swr") << "LabelShape2" << "SWR ALARM";
        QTest::newRow("psu t") << "LabelShape3" << "PSU T  ALARM";
        QTest::newRow("over-current") << "LabelShape4" << "OVER-CURRENT        ALARM";
        QTest::newRow("overdrive") << "LabelShape5" << "RF OVERDRIVE         ALARM";
        QTest::newRow("note") << "LabelLogoNote" << "Please note that each line can ony accept 16 characters!";
        QTest::newRow("psu caption") << "LabelText3" << "PSU temperature:";
        QTest::newRow("uptime caption") << "LabelText12" << "Uptime (D/H/M):";
        QTest::newRow("list label") << "LabelCombo4" << "Amplifier temperature alarm:";
        QTest::newRow("scale") << "LabelScale100" << "100%";
        QTest::newRow("power") << "Text1" << "0.0W";
        QTest::newRow("amp temperature") << "Text4" << "20C";
        QTest::newRow("current 4") << "Text16" << "0.0A";
        QTest::newRow("voltage 3") << "Text18" << "0.0V";
        QTest::newRow("uptime") << "Text12" << "0000D:00H:00M";
        QTest::newRow("firmware") << "Text14" << "-------";
        QTest::newRow("power limit") << "Text11" << "9999W";
        QTest::newRow("logo 1") << "Text7" << "Logo Line 1";
        QTest::newRow("logo 2") << "Text6" << "Logo Line 2";
        QTest::newRow("update") << "Command16" << "Update amplifier";
        QTest::newRow("systray") << "Command2" << "Systray";
        QTest::newRow("read") << "Command4" << "Read status";
        QTest::newRow("logo button") << "Command9" << "Update Logo text";
        QTest::newRow("clear") << "Command11" << "Clear";
        QTest::newRow("auto read") << "Check1" << "Auto read status";
        QTest::newRow("tray at start") << "Check5" << "To tray at start";
        QTest::newRow("stereo") << "Option30" << "Stereo";
    }

    // The window as created, before start-up fills it.
    void texts()
    {
        QFETCH(QString, control);
        QFETCH(QString, text);
        m_form.create();
        QObject *w = m_form->findChild<QObject *>(control);
        QVERIFY2(w, qPrintable(control));
        const QString shown = shownText(w);
        QCOMPARE(shown, text);
        if (auto *l = qobject_cast<QLabel *>(w))
            QCOMPARE(l->textFormat(), Qt::PlainText);
    }

    void windowFrame()
    {
        Form1 &form = startForm("AutoRead=False\nTrayAtStart=False\n");
        QCOMPARE(form.windowTitle(), QString("ValtronaAmp+ v4.1"));
        QCOMPARE(form.objectName(), QString("Form1"));
        QVERIFY(!form.windowIcon().isNull());
        QCOMPARE(form.minimumSize(), form.maximumSize());
        QCOMPARE(client()->width(), 785);
        QCOMPARE(client()->height() + form.statusBar()->height(), 528);
        QCOMPARE(form.statusBar()->objectName(), QString("StatusBar1"));
        QCOMPARE(form.statusText(), QString("Ready"));
        QVERIFY(!(form.windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));

        QMenu *file = form.findChild<QMenu *>("filemnu");
        QVERIFY(file);
        QCOMPARE(file->title(), QString("&File"));
        QCOMPARE(file->actions().size(), 2);
        QCOMPARE(file->actions()[0]->objectName(), QString("SetupMnu"));
        QCOMPARE(file->actions()[0]->text(), QString("S&etup"));
        QCOMPARE(file->actions()[1]->objectName(), QString("Exitmnu"));
        QCOMPARE(file->actions()[1]->text(), QString("E&xit"));

        QCOMPARE(form.timer1().interval(), 1000);
        QVERIFY(form.timer1().isActive());
        QCOMPARE(find<QProgressBar>("ProgressBar1")->maximum(), 21);
        QCOMPARE(find<QProgressBar>("ProgressBar2")->maximum(), 100);
        QSlider *slider = find<QSlider>("Slider1");
        QCOMPARE(slider->maximum(), 100);
        QCOMPARE(slider->tickInterval(), 10);
        QCOMPARE(slider->toolTip(), QString("Output power"));
        QCOMPARE(find<QGroupBox>("Frame44")->toolTip(), QString("Audio compressor settings, for DSP models only"));
        QCOMPARE(find<QRadioButton>("Option31")->toolTip(), QString("Stereo/mono selection"));
        QVERIFY(!find<QLabel>("LabelProgressBar2")->isEnabled());
        QCOMPARE(find<QLabel>("Picture1")->pixmap().size(), QSize(88, 88));
    }

    void placesInTwips_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QRect>("twips"); // left, top, width, height on the client area
        QTest::newRow("board") << "Frame39" << QRect(120, 120, 4935, 3975);
        QTest::newRow("current alarm list") << "Combo14" << QRect(120 + 240 + 2430, 120 + 1320 + 1590, 1695, 315);
        QTest::newRow("output power") << "Text1" << QRect(120 + 480, 4080 + 600, 1575, 400);
        QTest::newRow("voltage 2") << "Text17" << QRect(7440, 3480, 1575, 400);
        QTest::newRow("over-current shape") << "Shape4" << QRect(5400 + 180, 5880, 1605, 645);
        QTest::newRow("read status") << "Command4" << QRect(5400 + 240, 6720, 1455, 400);
        QTest::newRow("picture") << "Picture1" << QRect(9690, 90, 1320, 1320);
        QTest::newRow("logo button") << "Command9" << QRect(9360 + 480, 4080 + 2400, 1425, 540);
        QTest::newRow("buffer") << "Text8" << QRect(12480, 120, 1965, 1965);
    }

    void placesInTwips()
    {
        QFETCH(QString, control);
        QFETCH(QRect, twips);
        m_form.create();
        QWidget *w = m_form->findChild<QWidget *>(control);
        QVERIFY(w);
        const QRect got = inClient(w);
        // One pixel of rounding either way.
        QVERIFY2(qAbs(got.x() - twips.x() / 15.0) <= 1 && qAbs(got.y() - twips.y() / 15.0) <= 1
                     && qAbs(got.width() - twips.width() / 15.0) <= 1
                     && qAbs(got.height() - twips.height() / 15.0) <= 1,
                 qPrintable(QString("%1 at %2,%3 %4x%5").arg(control).arg(got.x()).arg(got.y())
                                .arg(got.width()).arg(got.height())));
    }

    // What lies at 12120 twips or more is filled and bound but never seen; the rest is on show.
    void rightOfClientIsNotVisible()
    {
        Form1 &form = startForm("AutoRead=False\nTrayAtStart=False\n");
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const int limit = qRound(12120 / 15.0);
        int hidden = 0;
        for (QWidget *w : client()->findChildren<QWidget *>()) {
            if (w->objectName().isEmpty() || w->objectName().startsWith("qt_") || w->isWindow())
                continue;
            const QRect place = inClient(w);
            if (place.left() >= limit) {
                ++hidden;
                QVERIFY2(!place.intersects(client()->rect()), qPrintable(w->objectName()));
                QVERIFY2(w->visibleRegion().isEmpty(), qPrintable(w->objectName()));
            } else if (w->isVisibleTo(&form)) {
                QVERIFY2(client()->rect().contains(place), qPrintable(w->objectName()));
            }
        }
        for (const char *name : {"Frame45", "Frame43", "Frame4", "Frame44", "Frame38", "Frame42", "Text8",
                                 "Command11"}) {
            QWidget *w = find<QWidget>(name);
            QVERIFY(w);
            QVERIFY2(inClient(w).left() >= limit, name);
        }
        QVERIFY(hidden >= 8);
        QCOMPARE(find<QComboBox>("Combo1")->count(), 21);
        QVERIFY(!find<QWidget>("Text12")->visibleRegion().isEmpty());
    }

    void displayBoxes_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<qreal>("points");
        const struct { const char *box, *caption; } boxes[] = {
            {"Text1", "Output power"}, {"Text2", "Reflected power"}, {"Text3", "PSU temperature"},
            {"Text4", "Amp. temperature"}, {"Text9", "Amplifier current 1"},
            {"Text13", "Amplifier current 2"}, {"Text15", "Amplifier current 3"},
            {"Text16", "Amplifier current 4"}, {"Text5", "Amplifier voltage 1"},
            {"Text17", "Amplifier voltage 2"}, {"Text18", "Amplifier voltage 3"},
            {"Text19", "Amplifier voltage 4"}, {"Text12", "Uptime (D/H/M)"},
            {"Text14", "Firmware version"}, {"Text11", "Power limit"},
        };
        for (const auto &b : boxes)
            QTest::newRow(b.box) << b.box << b.caption << (qstrcmp(b.box, "Text14") == 0 ? 8.25 : 12.0);
    }

    // Values from the transmitter land in read-only plain-text boxes that a screen reader names.
    void displayBoxes()
    {
        QFETCH(QString, control);
        QFETCH(QString, caption);
        QFETCH(qreal, points);
        m_form.create();
        auto *box = m_form->findChild<QLineEdit *>(control);
        QVERIFY(box);
        QVERIFY(box->isReadOnly());
        QCOMPARE(box->font().family(), QString("Arial"));
        QVERIFY(box->font().bold());
        QCOMPARE(box->font().pointSizeF(), points);
        QAccessibleInterface *access = QAccessible::queryAccessibleInterface(box);
        QVERIFY(access);
        QCOMPARE(access->text(QAccessible::Name), caption);
    }

    void indicatorsStartGreyUnderTheirCaptions()
    {
        m_form.create();
        for (int i = 1; i <= 5; ++i) {
            const QByteArray name = "Shape" + QByteArray::number(i);
            auto *shape = find<AlarmShape>(name);
            QVERIFY(shape);
            QCOMPARE(shape->fillColor(), QColor(224, 224, 224));
            auto *caption = find<QLabel>("Label" + name);
            QVERIFY(caption);
            QVERIFY2(shape->geometry().contains(caption->geometry().center()), name);
            QVERIFY(caption->wordWrap());
            QCOMPARE(caption->font().family(), QString("MS Sans Serif"));
            QVERIFY(caption->font().bold());
            // The caption does not fit on one line of its box: it wraps onto a second.
            const QFontMetrics metrics(caption->font());
            const QRect needed = metrics.boundingRect(QRect(0, 0, caption->width(), 1000), Qt::TextWordWrap,
                                                      caption->text());
            QVERIFY2(needed.height() >= 2 * metrics.height(), name);
        }
    }

    // Everything the operator can reach has a name a screen reader reads out.
    void everyControlHasAnAccessibleName()
    {
        m_form.create();
        int checked = 0;
        for (QWidget *w : m_form->findChildren<QWidget *>()) {
            const QString name = w->objectName();
            if (name.isEmpty() || name.startsWith("qt_") || w->isWindow() || qobject_cast<QMenu *>(w))
                continue;
            QAccessibleInterface *access = QAccessible::queryAccessibleInterface(w);
            QVERIFY(access);
            QVERIFY2(!access->text(QAccessible::Name).trimmed().isEmpty(), qPrintable(name));
            ++checked;
        }
        QVERIFY(checked > 90);
    }
};

QTEST_MAIN(TestUiWindow)
#include "tst_ui_window.moc"
