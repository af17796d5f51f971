#pragma once

#include "watch/transmitter_watch.h"

#include <QIcon>
#include <QString>

// The panel's icon and the tray's tooltip as they tell the transmitter's state: the operator sees
// an alarm or a silent transmitter on the tray without opening the window.
namespace artwork {

enum class PanelState {
    AllClear, // the panel's own icon
    Alarm, // a red mark: an indicator is on (also while data is stale: it was the last word)
    NoData, // a grey mark: the link is lost or reports stopped
};

// The worst of `state`: an alarm, else no live data, else all clear.
PanelState panelStateOf(const WatchState &state);

// The panel's icon (panelIcon()) with the mark of `state`, at the same sizes.
QIcon stateIcon(PanelState state);

// "ValtronaAmp+ V4.1", then the state in words: the captions of the alarms that are on, then
// "Link lost on <device>" or "No report since hh:mm:ss" (local time); the first line alone when all is clear.
QString trayToolTip(const WatchState &state);

} // namespace artwork
