#include "support/clocks.h"
#include "support/sim_process.h"
#include "support/ui/panel_window.h"
#include "support/wire_log.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QStatusBar>
#include <QtTest>

namespace {

// One stretch of a download on the wire: bytes that go out back to back, then the pause after them.
struct Stretch {
    QByteArray bytes;
    int pauseMs;
};

QList<Stretch> stretches(std::initializer_list<std::pair<const char *, int>> hexAndPause)
{
    QList<Stretch> out;
    for (const auto &[hex, pause] : hexAndPause)
        out.append({ QByteArray::fromHex(hex), pause });
    return out;
}

using Progress = QPair<QString, int>; // StatusBar1's text, ProgressBar1's value

// What the window showed while a download ran, sampled at every turn of the event loop.
struct Run {
    QList<Progress> shown; // each change of text or value, in order, from the click on
    double readyAt = -1; // when the status bar turned to "Ready"
    qint64 readyTicks = -1; // the wire log's ticks by then
};

const QByteArray kStatusRequest = QByteArray::fromHex("00464d012002");

} // namespace

// The two downloads clicked in the real window, against the transmitter simulator on a pseudo-terminal:
// the bytes and pauses on the wire, the progress the operator sees, what the transmitter ends up
// holding, a line lost in the middle, and the store file written by the controls the downloads read.
// What the simulator read shows the bytes on the line; when they went, and what the event loop did
// meanwhile, is taken in this process from the link's writes, so that a busy machine delaying the
// simulator's reading cannot make a pause look shorter than it was.
class TestUiDownloads : public WindowTest
{
    Q_OBJECT

    SimProcess m_sim;

    void startForm(const QByteArray &record)
    {
        m_form.start(storeText(m_sim.linkPath(), record), PanelWindow::LinkOpen | PanelWindow::InFront);
    }

    void simCommand(const QString &line) { m_sim.require(line); }

    // The value text of `key` in the record's group, read from the file's bytes.
    QByteArray storedText(const QByteArray &key, int *keyCount = nullptr) const
    {
        return m_home.storedText(key, keyCount);
    }

    int chunkCount() const { return int(m_sim.logRecords(QStringLiteral("chunk")).size()); }

    // Every byte the simulator read after the first `fromChunk` chunks, with the time of its chunk.
    void arrivals(int fromChunk, QByteArray &bytes, QList<double> &times) const
    {
        bytes.clear();
        times.clear();
        const QList<QJsonObject> chunks = m_sim.logRecords(QStringLiteral("chunk"));
        for (qsizetype i = fromChunk; i < chunks.size(); ++i) {
            const QByteArray b = QByteArray::fromHex(chunks[i].value("hex").toString().toLatin1());
            bytes += b;
            for (qsizetype k = 0; k < b.size(); ++k)
                times.append(chunks[i].value("t").toDouble());
        }
    }

    // Picks entry `index` of a list with the mouse: open its popup, click the entry.
    void pickEntry(QComboBox *combo, int index)
    {
        QTest::mouseClick(combo, Qt::LeftButton);
        QAbstractItemView *view = combo->view();
        QVERIFY(QTest::qWaitForWindowExposed(view->window()));
        // The popup takes no release that comes within a double-click time of its opening, until a
        // timer of its own has said so: on a busy machine the wait can end before that timer had its
        // turn, so the loop turns once more for whatever has fallen due.
        QTest::qWait(QApplication::doubleClickInterval() + 50);
        QApplication::processEvents();
        const QModelIndex entry = view->model()->index(index, 0);
        view->scrollTo(entry);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(entry).center());
        QVERIFY(waitUntil([&] { return !view->isVisible(); }, 2000));
        QCOMPARE(combo->currentIndex(), index);
    }

    // Runs the event loop, as the program's main loop does, from `click` until the download has ended,
    // sampling the progress report at every turn. The click itself runs inside the loop.
    Run runDownload(const std::function<void()> &click, int timeoutMs, const WireLog &wire)
    {
        Run run;
        QEventLoop loop;
        bool clicked = false;
        auto sample = [&] {
            const Progress p(m_form->statusText(), find<QProgressBar>("ProgressBar1")->value());
            if (clicked && (run.shown.isEmpty() || run.shown.last() != p))
                run.shown.append(p);
        };
        // A short repeating timer fires at every turn of the loop that nothing holds up; each progress
        // report stands through a pause, which lets it fire.
        QTimer turn;
        turn.setTimerType(Qt::PreciseTimer);
        turn.setInterval(2);
        connect(&turn, &QTimer::timeout, &loop, sample);
        connect(find<QStatusBar>("StatusBar1"), &QStatusBar::messageChanged, &loop, [&](const QString &text) {
            if (text == QLatin1String("Ready")) {
                run.readyAt = monotonicMs();
                run.readyTicks = wire.ticks();
            }
        });
        connect(&m_form->session().runner(), &ScriptRunner::runningChanged, &loop, [&](bool running) {
            if (!running)
                loop.quit();
        });
        QTimer::singleShot(0, &loop, [&] {
            click();
            clicked = true;
            if (!m_form->session().runner().isRunning())
                loop.quit();
        });
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        turn.start();
        loop.exec();
        sample();
        return run;
    }

    // The download's bytes, found whole and uninterrupted among what the simulator read after chunk
    // `fromChunk` (given the time to read them).
    void checkLine(int fromChunk, const QList<Stretch> &expected)
    {
        QByteArray bytes;
        QList<double> times;
        QByteArray whole;
        for (const Stretch &s : expected)
            whole += s.bytes;
        waitUntil(
            [&] {
                arrivals(fromChunk, bytes, times);
                return bytes.contains(whole);
            },
            5000);
        QVERIFY2(bytes.indexOf(whole) >= 0,
            qPrintable("the line carried " + bytes.toHex(' ') + "\nexpected within it " + whole.toHex(' ')));
    }

    // The download among the link's writes from `fromWrite` on: its stretches one after the other,
    // nothing between them (no status request of auto-read either); each stretch written in one go;
    // each pause, to the next stretch or to "Ready", no shorter than its length, and the event loop
    // turning in it. Gives where the download's last write is.
    void checkWrites(const WireLog &wire, qsizetype fromWrite, const QList<Stretch> &expected, const Run &run,
        qsizetype *lastWrite)
    {
        QList<QByteArray> parts;
        for (const Stretch &s : expected)
            parts << s.bytes;
        const QList<WireLog::Span> spans = wire.find(parts, fromWrite);
        QVERIFY2(spans.size() == expected.size(),
            qPrintable("the link wrote " + wire.bytes(fromWrite).toHex(' ')));
        const QList<WireLog::Write> &writes = wire.writes();
        QStringList faults;
        for (int i = 0; i < expected.size(); ++i) {
            const WireLog::Span &span = spans[i];
            const WireLog::Write &last = writes[span.end - 1];
            if (writes[span.first].ticks != last.ticks)
                faults << QString("stretch %1 (%2) was not written in one go")
                              .arg(i)
                              .arg(QString(parts[i].toHex(' ')));
            const bool final = i + 1 == expected.size();
            const double nextAt = final ? run.readyAt : writes[spans[i + 1].first].atMs;
            const qint64 nextTicks = final ? run.readyTicks : writes[spans[i + 1].first].ticks;
            const double pause = nextAt - last.atMs;
            if (pause < expected[i].pauseMs)
                faults << QString("pause %1 after %2: %3 ms, shorter than %4")
                              .arg(i)
                              .arg(QString(parts[i].toHex(' ')))
                              .arg(pause, 0, 'f', 1)
                              .arg(expected[i].pauseMs);
            if (nextTicks - last.ticks < 1)
                faults << QString("the event loop stood still in pause %1").arg(i);
        }
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
        *lastWrite = spans.last().end - 1;
    }

    // With auto-read on, a status request goes out once the download has ended (none went out in it:
    // checkWrites found its stretches back to back).
    void checkAutoReadWaited(const WireLog &wire, qsizetype lastWrite)
    {
        QVERIFY2(waitUntil([&] { return wire.bytes(lastWrite + 1).contains(kStatusRequest); }, 3000),
            qPrintable("after the download the link wrote " + wire.bytes(lastWrite + 1).toHex(' ')));
    }

private slots:
    void initTestCase() { QVERIFY2(m_sim.start(), m_sim.stderrText().constData()); }

    void cleanup() { closeWindow(); }

    // The operator's choices reach the transmitter: the list and the slider changed in the window,
    // the other settings as stored, each value byte its setting + 4.
    void amplifierDownload()
    {
        startForm("AutoRead=True\nTrayAtStart=False\nTXPower=37\nSWRAlarm=2\nAmpTempAlarm=9\n"
                  "VoltageAlarm=26\nCurrentAlarm=50\nAutoFanTemp=12\n");
        pickEntry(find<QComboBox>("Combo14"), 3);
        auto *slider = find<QSlider>("Slider1");
        slider->setFocus(Qt::TabFocusReason);
        QTest::keyClick(slider, Qt::Key_End);
        QCOMPARE(slider->value(), 100);

        const int storesBefore = m_sim.state().value("storeCount").toInt();
        const int from = chunkCount();
        const WireLog wire(m_form->session().link());
        // Pressing the button takes the focus from the slider, which stores and saves; the click follows.
        auto *command16 = find<QPushButton>("Command16");
        QTest::mousePress(command16, Qt::LeftButton);
        const Run run = runDownload([&] { QTest::mouseRelease(command16, Qt::LeftButton); }, 10000, wire);
        QVERIFY(!m_form->session().runner().isRunning());

        const QList<Progress> steps = {
            { "Setting output power... 15%", 3 },
            { "Setting SWR alarm... 25%", 6 },
            { "Setting amplifier TEMP alarm... 40%", 9 },
            { "Setting power supply voltage alarm... 60%", 12 },
            { "Setting current alarm... 75%", 15 },
            { "Setting Fan activation temperature... 90%", 18 },
            { "Sending store settings command... 100%", 21 },
            { "Ready", 0 },
        };
        QCOMPARE(run.shown, steps);

        const QList<Stretch> expected = stretches({ { "0000464F016802", 600 }, { "0000464153010602", 600 },
            { "0000464154010D02", 600 }, { "0000464155011E02", 600 }, { "0000464143010702", 600 },
            { "0000464141011002", 600 }, { "004657013002", 600 } });
        qsizetype lastWrite = -1;
        checkWrites(wire, 0, expected, run, &lastWrite);
        if (QTest::currentTestFailed())
            return;
        checkAutoReadWaited(wire, lastWrite);
        checkLine(from, expected);
        if (QTest::currentTestFailed())
            return;

        const QJsonObject state = m_sim.state();
        const QJsonObject stored = state.value("stored").toObject();
        const struct {
            const char *command;
            int byte;
        } held[] = {
            { "FO", 0x68 },
            { "FAS", 0x06 },
            { "FAT", 0x0D },
            { "FAU", 0x1E },
            { "FAC", 0x07 },
            { "FAA", 0x10 },
        };
        for (const auto &h : held)
            QCOMPARE(stored.value(h.command).toInt(), h.byte);
        QCOMPARE(state.value("storeCount").toInt(), storesBefore + 1);
        QVERIFY(state.value("pending").toObject().isEmpty());
    }

    // The logo typed into the window, a character without a Latin-1 code among it, goes out in
    // four-character pieces with its thirteen pauses while the window goes on running.
    void logoDownload()
    {
        startForm(
            "AutoRead=True\nTrayAtStart=False\nLogoLine1=Old first line..\nLogoLine2=Hello Listeners!\n");
        auto *text7 = find<QLineEdit>("Text7");
        auto *command9 = find<QPushButton>("Command9");
        QTest::mouseClick(text7, Qt::LeftButton);
        QVERIFY(text7->hasFocus());
        QTest::keyClick(text7, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(text7, "ON AIR ");
        QKeyEvent euro(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(QChar(0x20AC)));
        QApplication::sendEvent(text7, &euro);
        QCOMPARE(text7->text(), QString::fromUtf8("ON AIR €"));

        // Pressing the button leaves the box: the line rule runs and the operator is told.
        const QString line1 = QStringLiteral("ON AIR ?        ");
        QTest::mousePress(command9, Qt::LeftButton);
        QVERIFY(command9->hasFocus());
        QCOMPARE(text7->text(), line1);
        QCOMPARE(settingsRecord().LogoLine1, line1);
        QVERIFY2(m_form->statusText().contains(QLatin1String("\"?\"")), qPrintable(m_form->statusText()));

        const int storesBefore = m_sim.state().value("logoStoreCount").toInt();
        const int from = chunkCount();
        const WireLog wire(m_form->session().link());
        const Run run = runDownload([&] { QTest::mouseRelease(command9, Qt::LeftButton); }, 20000, wire);
        QVERIFY(!m_form->session().runner().isRunning());

        const QList<Progress> steps = {
            { "Setting LOGO line1... 10%", 1 },
            { "Setting LOGO line1... 20%", 3 },
            { "Setting LOGO line1... 30%", 4 },
            { "Setting LOGO line1... 40%", 6 },
            { "Setting LOGO line1... 50%", 8 },
            { "Setting LOGO line2... 60%", 10 },
            { "Setting LOGO line2... 70%", 12 },
            { "Setting LOGO line2... 80%", 14 },
            { "Setting LOGO line2... 90%", 16 },
            { "Setting LOGO line2... 95%", 18 },
            { "Sending store settings command... 99%", 20 },
            { "Ready", 0 },
        };
        QCOMPARE(run.shown, steps);

        // "ON AIR ?" then blanks; "Hello Listeners!"
        const QList<Stretch> expected = stretches({ { "0000464C3101", 1000 }, { "4F4E2041", 1000 },
            { "4952203F", 1000 }, { "20202020", 1000 }, { "20202020", 1000 }, { "02", 1000 },
            { "0000464C3201", 1000 }, { "48656C6C", 1000 }, { "6F204C69", 1000 }, { "7374656E", 1000 },
            { "65727321", 1000 }, { "02", 1000 }, { "0000464C53013002", 1000 } });
        qsizetype lastWrite = -1;
        checkWrites(wire, 0, expected, run, &lastWrite);
        if (QTest::currentTestFailed())
            return;
        checkAutoReadWaited(wire, lastWrite);
        checkLine(from, expected);
        if (QTest::currentTestFailed())
            return;

        const QJsonObject state = m_sim.state();
        const QJsonObject logo = state.value("logo").toObject();
        QCOMPARE(logo.value("line1").toObject().value("text").toString(), line1);
        QCOMPARE(logo.value("line2").toObject().value("text").toString(), QString("Hello Listeners!"));
        QCOMPARE(state.value("logoStoreCount").toInt(), storesBefore + 1);
    }

    // A logo line from a store edited by hand may hold 0x01 and 0x02, which start and end a frame's
    // value: they go out as blanks, so that the frame ends where it should, while every other byte
    // (0x00, 0x0D, 0xFF) goes out as it is, and the stored line stays as it was.
    void logoFrameBytesSentAsBlanks()
    {
        // "ON", 01, "AIR", 02, 00, 0D, FF, "FM+ 10"
        startForm("AutoRead=False\nTrayAtStart=False\nLogoLine1=ON\\x1\\x41IR\\x2\\0\\r\\xff\\x46M+ 10\n"
                  "LogoLine2=Hello Listeners!\n");
        const QString stored = QString::fromLatin1("ON\x01"
                                                   "AIR\x02\x00\r\xff"
                                                   "FM+ 10",
            16);
        QCOMPARE(settingsRecord().LogoLine1, stored);

        const int from = chunkCount();
        const WireLog wire(m_form->session().link());
        auto *command9 = find<QPushButton>("Command9");
        const Run run = runDownload([&] { QTest::mouseClick(command9, Qt::LeftButton); }, 20000, wire);
        QVERIFY(!m_form->session().runner().isRunning());
        QCOMPARE(run.shown.last(), Progress("Ready", 0));

        const QList<Stretch> expected = stretches({ { "0000464C3101", 1000 }, { "4F4E2041", 1000 },
            { "49522000", 1000 }, { "0DFF464D", 1000 }, { "2B203130", 1000 }, { "02", 1000 },
            { "0000464C3201", 1000 }, { "48656C6C", 1000 }, { "6F204C69", 1000 }, { "7374656E", 1000 },
            { "65727321", 1000 }, { "02", 1000 }, { "0000464C53013002", 1000 } });
        qsizetype lastWrite = -1;
        checkWrites(wire, 0, expected, run, &lastWrite);
        if (QTest::currentTestFailed())
            return;
        checkLine(from, expected);
        if (QTest::currentTestFailed())
            return;
        // The transmitter took both lines whole, and the store still holds the line as it was.
        const QJsonObject logo = m_sim.state().value("logo").toObject();
        QCOMPARE(logo.value("line1").toObject().value("text").toString(),
            QString::fromLatin1("ON AIR \x00\r\xff"
                                "FM+ 10",
                16));
        QCOMPARE(logo.value("line2").toObject().value("text").toString(), QString("Hello Listeners!"));
        QCOMPARE(settingsRecord().LogoLine1, stored);
    }

    // The line goes away in the middle of the logo download: the script stops, the operator is told,
    // and once the line is back the next "Read status" opens it again and a report arrives.
    void lineLostDuringDownload()
    {
        startForm("AutoRead=False\nTrayAtStart=False\n");
        simCommand("report Pfwd=7.5W,Pref=0.1W,AlarmCode=00,Audio=5");
        const QString linkPath = m_sim.linkPath();
        const WireLog wire(m_form->session().link());
        QTest::mouseClick(find<QPushButton>("Command9"), Qt::LeftButton);
        QVERIFY(waitUntil([&] { return m_form->statusText() == "Setting LOGO line1... 20%"; }, 3000));
        QVERIFY(m_form->session().runner().isRunning());

        QVERIFY(m_sim.unplug());
        const qsizetype writtenBeforeUnplug = wire.writes().size();
        // Stopped, and not a byte written after the unplug: the next piece never went out.
        QVERIFY(waitUntil([&] { return !m_form->session().runner().isRunning(); }, 20000));
        QVERIFY2(wire.writes().size() == writtenBeforeUnplug,
            qPrintable("after the unplug the link wrote " + wire.bytes(writtenBeforeUnplug).toHex(' ')));
        QCOMPARE(find<QProgressBar>("ProgressBar1")->value(), 0);
        QVERIFY2(m_form->statusText().contains(linkPath), qPrintable(m_form->statusText()));
        QVERIFY(!m_form->statusText().startsWith("Setting"));
        QVERIFY(!m_form->session().link().isOpen());
        for (const char *name : { "Command4", "Command16", "Command9" })
            QVERIFY2(find<QPushButton>(name)->isEnabled(), name);

        // The program runs on, and the rest of the script never goes out, not even to the new line:
        // a script still going would write its next piece within a pause of the reopening.
        QVERIFY(m_sim.replug());
        const int from = chunkCount();
        QTest::mouseClick(find<QPushButton>("Command4"), Qt::LeftButton);
        QVERIFY(m_form->session().link().isOpen());
        QVERIFY(waitUntil([&] { return find<QLineEdit>("Text1")->text() == "7.5W"; }, 5000));
        QTest::qWait(1100);
        QVERIFY(m_form->isVisible());
        QByteArray bytes;
        QList<double> times;
        arrivals(from, bytes, times);
        QCOMPARE(bytes.toHex(' '), QByteArray("00 46 4d 01 20 02"));
        QCOMPARE(m_form->statusText(), QString("Ready"));
    }

    // A damaged store holds a position whose byte does not exist: the download is refused before
    // anything is written, and the operator learns which setting it is.
    void outOfRangeSettingRefusesTheDownload_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<int>("value");
        QTest::newRow("over-current far above") << QByteArray("CurrentAlarm") << 300;
        QTest::newRow("one above the byte") << QByteArray("AutoFanTemp") << 252;
        QTest::newRow("below zero") << QByteArray("VoltageAlarm") << -7;
    }

    void outOfRangeSettingRefusesTheDownload()
    {
        QFETCH(QByteArray, key);
        QFETCH(int, value);
        startForm("AutoRead=False\nTrayAtStart=False\n" + key + "=" + QByteArray::number(value) + "\n");
        const int from = chunkCount();
        QTest::mouseClick(find<QPushButton>("Command16"), Qt::LeftButton);
        QVERIFY(!m_form->session().runner().isRunning());
        const QString told = m_form->statusText();
        QVERIFY2(told.contains(QString::fromLatin1(key)) && told.contains(QString::number(value)),
            qPrintable(told));
        QMessageBox *box = nullptr;
        QVERIFY(waitUntil(
            [&] {
                box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                return box && box->isVisible();
            },
            3000));
        QCOMPARE(box->text(), told);
        box->close();

        // Nothing went out: the first bytes the simulator reads after the refusal are a status request.
        QTest::mouseClick(find<QPushButton>("Command4"), Qt::LeftButton);
        QByteArray bytes;
        QList<double> times;
        QVERIFY(waitUntil(
            [&] {
                arrivals(from, bytes, times);
                return bytes.size() >= 6;
            },
            3000));
        QCOMPARE(bytes.toHex(' '), QByteArray("00 46 4d 01 20 02"));
    }

    // Picking the fourth over-current entry has "3" in the file before the window's handler returns:
    // a slot connected after the window's own finds it there.
    void pickedEntryIsInTheFileAtOnce()
    {
        startForm("AutoRead=False\nTrayAtStart=False\nCurrentAlarm=50\n");
        auto *combo = find<QComboBox>("Combo14");
        QByteArray seenByLaterSlot;
        connect(combo, &QComboBox::currentIndexChanged, this,
            [&] { seenByLaterSlot = storedText("CurrentAlarm"); });
        pickEntry(combo, 3);
        QCOMPARE(seenByLaterSlot, QByteArray("3"));
        QCOMPARE(storedText("CurrentAlarm"), QByteArray("3"));
    }

    // Tabbing out of a list without changing it writes the whole store: a value changed on disk
    // behind the panel's back is put back to the list's position.
    void tabbingOutOfAListWritesTheStore_data()
    {
        QTest::addColumn<QByteArray>("control");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<int>("index");
        QTest::newRow("over-current") << QByteArray("Combo14") << QByteArray("CurrentAlarm") << 50;
        QTest::newRow("reflected power") << QByteArray("Combo5") << QByteArray("SWRAlarm") << 4;
        QTest::newRow("fan") << QByteArray("Combo9") << QByteArray("AutoFanTemp") << 12;
    }

    void tabbingOutOfAListWritesTheStore()
    {
        QFETCH(QByteArray, control);
        QFETCH(QByteArray, key);
        QFETCH(int, index);
        startForm("AutoRead=False\nTrayAtStart=False\n" + key + "=" + QByteArray::number(index) + "\n");
        auto *combo = find<QComboBox>(control.constData());
        combo->setFocus(Qt::TabFocusReason);
        QVERIFY(combo->hasFocus());

        const QByteArray onDisk = m_home.storeBytes();
        QVERIFY(onDisk.contains("\n" + key + "=" + QByteArray::number(index)));
        QByteArray behindTheBack = onDisk;
        behindTheBack.replace("\n" + key + "=" + QByteArray::number(index) + "\n", "\n" + key + "=77\n");
        m_home.writeStore(behindTheBack);
        QCOMPARE(storedText(key), QByteArray("77"));

        QTest::keyClick(combo, Qt::Key_Tab);
        QVERIFY(!combo->hasFocus());
        QCOMPARE(combo->currentIndex(), index);
        int keys = 0;
        QCOMPARE(storedText(key, &keys), QByteArray::number(index));
        QCOMPARE(keys, 265);
    }
};

QTEST_MAIN(TestUiDownloads)
#include "tst_ui_downloads.moc"
