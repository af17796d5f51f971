#pragma once

#include <QIcon>
#include <QPixmap>

// The program's own pictures, drawn as SVG and kept in the resource file: rendered here, so no
// image plugin is needed at run time.
namespace artwork {

// The mast: window and tray icon, at 16, 24, 32, 48 and 64 pixels.
QIcon panelIcon();

// The 88 x 88 logo of the right-hand column.
QPixmap logo();

} // namespace artwork
