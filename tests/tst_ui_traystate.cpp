// The tray's image and tooltip tell the transmitter's state: the panel's own icon when all is
// clear, a red mark for an alarm, a grey mark when no live data comes; and under the first line
// "ValtronaAmp+ V4.1" the alarms by their captions, the lost device or the time of the last report.
#include "ui/artwork.h"
#include "ui/tray_state.h"

#include <QtTest>

namespace {

using artwork::PanelState;

QImage imageOf(const QIcon &icon, int size)
{
    return icon.pixmap(QSize(size, size), 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
}

// Opaque pixels in the lower right quarter that are (close to) `color`.
int pixelsLike(const QImage &image, const QColor &color)
{
    int n = 0;
    for (int y = image.height() / 2; y < image.height(); ++y) {
        for (int x = image.width() / 2; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() > 250 && qAbs(c.red() - color.red()) < 16 && qAbs(c.green() - color.green()) < 16
                && qAbs(c.blue() - color.blue()) < 16)
                ++n;
        }
    }
    return n;
}

WatchState stateOf(const QString &alarms, const QString &lost, const QDateTime &stoppedSince, bool stopped)
{
    WatchState s;
    for (int i = 0; i < watch::kAlarmCount; ++i)
        s.alarms[size_t(i)] = alarms.size() > i && alarms[i] == u'1';
    s.linkLost = !lost.isEmpty();
    s.lostDevice = lost;
    s.reportsStopped = stopped;
    s.lastReport = stoppedSince;
    return s;
}

} // namespace

class TestUiTrayState : public QObject
{
    Q_OBJECT
private slots:
    void images_data();
    void images();
    void worstStateWins_data();
    void worstStateWins();
    void toolTips_data();
    void toolTips();
};

void TestUiTrayState::images_data()
{
    QTest::addColumn<int>("size");
    for (int size : { 16, 24, 32, 48, 64 })
        QTest::addRow("%d px", size) << size;
}

void TestUiTrayState::images()
{
    QFETCH(int, size);
    const QImage plain = imageOf(artwork::panelIcon(), size);
    const QImage clear = imageOf(artwork::stateIcon(PanelState::AllClear), size);
    const QImage alarm = imageOf(artwork::stateIcon(PanelState::Alarm), size);
    const QImage noData = imageOf(artwork::stateIcon(PanelState::NoData), size);
    QCOMPARE(clear.size(), QSize(size, size));
    QCOMPARE(alarm.size(), QSize(size, size));
    QCOMPARE(noData.size(), QSize(size, size));

    QCOMPARE(clear, plain);
    QVERIFY(alarm != clear);
    QVERIFY(noData != clear);
    QVERIFY(alarm != noData);
    // A mark of a few pixels at least, even at 16 px; the red one is the indicators' red.
    const int minimum = size * size / 40;
    const QColor red(255, 0, 0), grey(128, 128, 128);
    QVERIFY2(pixelsLike(alarm, red) >= minimum, qPrintable(QString::number(pixelsLike(alarm, red))));
    QVERIFY2(pixelsLike(noData, grey) >= minimum, qPrintable(QString::number(pixelsLike(noData, grey))));
    // Each mark in its own colour only.
    QVERIFY(pixelsLike(noData, red) <= pixelsLike(plain, red));
    QVERIFY(pixelsLike(alarm, grey) <= pixelsLike(plain, grey));
}

void TestUiTrayState::worstStateWins_data()
{
    QTest::addColumn<QString>("alarms");
    QTest::addColumn<QString>("lost");
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<int>("state");
    QTest::newRow("nothing") << "00000"
                             << "" << false << int(PanelState::AllClear);
    QTest::newRow("an alarm") << "00010"
                              << "" << false << int(PanelState::Alarm);
    QTest::newRow("link lost") << "00000"
                               << "/dev/ttyUSB0" << false << int(PanelState::NoData);
    QTest::newRow("reports stopped") << "00000"
                                     << "" << true << int(PanelState::NoData);
    QTest::newRow("an alarm, last seen before the link went")
        << "10000"
        << "/dev/ttyUSB0" << true << int(PanelState::Alarm);
}

void TestUiTrayState::worstStateWins()
{
    QFETCH(QString, alarms);
    QFETCH(QString, lost);
    QFETCH(bool, stopped);
    QFETCH(int, state);
    QCOMPARE(int(artwork::panelStateOf(stateOf(alarms, lost, {}, stopped))), state);
}

void TestUiTrayState::toolTips_data()
{
    QTest::addColumn<QString>("alarms");
    QTest::addColumn<QString>("lost");
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<QString>("expected");
    QTest::newRow("all clear") << "00000"
                               << "" << false << "ValtronaAmp+ V4.1";
    QTest::newRow("one alarm") << "01000"
                               << "" << false << "ValtronaAmp+ V4.1\nSWR ALARM";
    QTest::newRow("three alarms") << "10101"
                                  << "" << false
                                  << "ValtronaAmp+ V4.1\nAMP T ALARM, PSU T ALARM, RF OVERDRIVE ALARM";
    QTest::newRow("link lost") << "00000"
                               << "/dev/ttyUSB0" << false << "ValtronaAmp+ V4.1\nLink lost on /dev/ttyUSB0";
    QTest::newRow("reports stopped") << "00000"
                                     << "" << true << "ValtronaAmp+ V4.1\nNo report since %1";
    QTest::newRow("alarm and no reports")
        << "00010"
        << "" << true << "ValtronaAmp+ V4.1\nOVER-CURRENT ALARM\nNo report since %1";
    QTest::newRow("link lost wins over stopped")
        << "00000"
        << "/dev/ttyS0" << true << "ValtronaAmp+ V4.1\nLink lost on /dev/ttyS0";
}

void TestUiTrayState::toolTips()
{
    QFETCH(QString, alarms);
    QFETCH(QString, lost);
    QFETCH(bool, stopped);
    QFETCH(QString, expected);
    // The last report's time is told in the operator's local time.
    const QDateTime since = QDateTime(QDate(2024, 5, 1), QTime(8, 7, 6), Qt::UTC);
    QCOMPARE(artwork::trayToolTip(stateOf(alarms, lost, since, stopped)),
        expected.arg(since.toLocalTime().toString(QStringLiteral("hh:mm:ss"))));
    if (stopped && lost.isEmpty() && alarms == QLatin1String("00000"))
        QCOMPARE(artwork::trayToolTip(stateOf(alarms, lost, {}, true)),
            QStringLiteral("ValtronaAmp+ V4.1\nNo report yet"));
}

QTEST_MAIN(TestUiTrayState)
#include "tst_ui_traystate.moc"
