// Renders the panel's SVG icon into the PNG sizes a desktop's icon theme looks for, at build time,
// with the same SVG renderer the panel itself draws its icon with.
//
//   panel-render-icon <icon.svg> <out-dir> <name> <size>...
//
// writes <out-dir>/<size>x<size>/apps/<name>.png for every size.
#include <QDir>
#include <QCoreApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char *argv[])
{
    // No display and no windowing system: the images are drawn in memory.
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 5) {
        std::fprintf(stderr, "usage: panel-render-icon <icon.svg> <out-dir> <name> <size>...\n");
        return 2;
    }
    QSvgRenderer renderer(args[1]);
    if (!renderer.isValid()) {
        std::fprintf(stderr, "panel-render-icon: %s is no SVG image\n", qPrintable(args[1]));
        return 1;
    }
    for (int i = 4; i < args.size(); ++i) {
        bool ok = false;
        const int size = args[i].toInt(&ok);
        if (!ok || size <= 0 || size > 1024) {
            std::fprintf(stderr, "panel-render-icon: bad size %s\n", qPrintable(args[i]));
            return 2;
        }
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(args[2]).arg(size);
        const QString file = QStringLiteral("%1/%2.png").arg(dir, args[3]);
        if (!QDir().mkpath(dir) || !image.save(file, "PNG")) {
            std::fprintf(stderr, "panel-render-icon: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
