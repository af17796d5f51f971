#include "ui/tray_state.h"

#include "ui/artwork.h"
#include "ui/tray.h"

#include <QPainter>
#include <QPixmap>
#include <QStringList>

namespace {

// The mark: a disc in the lower right quarter, ringed in white so that it stands out on the mast.
QPixmap marked(const QPixmap &base, const QColor &fill)
{
    QPixmap pixmap = base;
    const qreal side = pixmap.width() / pixmap.devicePixelRatio();
    const qreal diameter = side * 0.5;
    const qreal ring = qMax<qreal>(1.0, side / 16.0);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, ring));
    painter.setBrush(fill);
    painter.drawEllipse(QRectF(side - diameter - ring / 2, side - diameter - ring / 2, diameter, diameter));
    return pixmap;
}

} // namespace

namespace artwork {

PanelState panelStateOf(const WatchState &state)
{
    if (state.anyAlarm())
        return PanelState::Alarm;
    if (!state.hasLiveData())
        return PanelState::NoData;
    return PanelState::AllClear;
}

QIcon stateIcon(PanelState state)
{
    const QIcon plain = panelIcon();
    if (state == PanelState::AllClear)
        return plain;
    const QColor fill = state == PanelState::Alarm ? QColor(255, 0, 0) : QColor(128, 128, 128);
    QIcon icon;
    for (const QSize &size : plain.availableSizes())
        icon.addPixmap(marked(plain.pixmap(size, 1.0), fill));
    return icon;
}

QString trayToolTip(const WatchState &state)
{
    QStringList lines { QString::fromLatin1(Tray::kToolTip) };
    QStringList on;
    for (int i = 0; i < watch::kAlarmCount; ++i) {
        if (state.alarms[size_t(i)])
            on << watch::alarmCaption(i);
    }
    if (!on.isEmpty())
        lines << on.join(QStringLiteral(", "));
    if (state.linkLost)
        lines << QStringLiteral("Link lost on %1").arg(state.lostDevice);
    else if (state.reportsStopped)
        lines << (state.lastReport.isValid()
                ? QStringLiteral("No report since %1")
                      .arg(state.lastReport.toLocalTime().toString(QStringLiteral("hh:mm:ss")))
                : QStringLiteral("No report yet"));
    // All clear: the tooltip the tray has always had, and nothing more.
    return lines.join(u'\n');
}

} // namespace artwork
