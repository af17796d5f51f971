#include "ui/artwork.h"

#include <QPainter>
#include <QSvgRenderer>

// Outside any namespace, as the resource initialiser requires; the library is static, so nothing
// else would pull the resources in.
static void initResources() { Q_INIT_RESOURCE(resources); }

namespace {

QPixmap render(QSvgRenderer &renderer, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    return pixmap;
}

} // namespace

namespace artwork {

QIcon panelIcon()
{
    initResources();
    // One parse of the drawing for all its sizes.
    QSvgRenderer renderer(QStringLiteral(":/panel/icons/mast.svg"));
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64})
        icon.addPixmap(render(renderer, size));
    return icon;
}

QPixmap logo()
{
    initResources();
    QSvgRenderer renderer(QStringLiteral(":/panel/icons/logo.svg"));
    return render(renderer, 88);
}

} // namespace artwork
