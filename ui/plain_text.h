#pragma once

#include <QString>

// Text from the store or the wire (a device path, an adapter's USB strings, a firmware text) for a
// tooltip. Qt takes a tooltip that looks like markup for rich text and renders it, images and all;
// such a text is escaped, so the operator sees it exactly as it stands. Other texts pass unchanged.
QString plainToolTip(const QString &text);
