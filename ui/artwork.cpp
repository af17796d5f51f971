#include "ui/artwork.h"

#include <QPainter>
#include <QSvgRenderer>

// Outside any namespace, as the resource initialiser requires; the library is static, so nothing
// else would pull the resources in.
static void initResources() { Q_INIT_RESOURCE(resources); }

namespace {

QPixmap render(const QString &resource, int size)
{
    initResources();
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(resource);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    return pixmap;
}

} // namespace

namespace artwork {

QIcon panelIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64})
        icon.addPixmap(render(QStringLiteral(":/panel/icons/mast.svg"), size));
    return icon;
}

QPixmap logo() { return render(QStringLiteral(":/panel/icons/logo.svg"), 88); }

} // namespace artwork
