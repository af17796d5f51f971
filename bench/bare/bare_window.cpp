// The yardstick for the panel's start-up and memory: a bare Qt Widgets window (a QMainWindow with
// one button), the panel's size, shown centred on its screen as the panel's window is. The
// measuring tool starts it exactly as it starts the panel, so what the panel needs beyond this is
// the panel's own.
#include <QApplication>
#include <QMainWindow>
#include <QPushButton>
#include <QScreen>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setObjectName(QStringLiteral("BareWindow"));
    window.setWindowTitle(QStringLiteral("Bare window"));
    auto *button = new QPushButton(QStringLiteral("Button"), &window);
    button->setObjectName(QStringLiteral("Button"));
    window.setCentralWidget(button);
    // The panel's window: 785 pixels wide, its client area 528 high under a menu bar of about 20.
    window.setFixedSize(785, 548);
    if (const QScreen *screen = window.screen())
        window.move(screen->availableGeometry().center() - window.frameGeometry().center() + window.pos());
    window.show();
    return app.exec();
}
