#include "ui/artwork.h"
#include "ui/form1.h"
#include "ui/single_instance.h"

#include "settings/store.h"

#include <QApplication>
#include <QStatusBar>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("ZTK Electronics"));
    QCoreApplication::setApplicationName(QStringLiteral("ValtronaAmp+"));
    QApplication::setWindowIcon(artwork::panelIcon());

    // Before the window exists, so that a second copy never touches the port or the store.
    SingleInstance instance(SettingsStore::instance().filePath());
    if (instance.claim() == SingleInstance::Claim::HandedOver) {
        const bool shown = instance.answer() == QLatin1String(SingleInstance::kShown);
        std::fprintf(stderr, "%s\n",
            shown ? "ValtronaAmp+ is already running with these settings: its window was brought "
                    "to the front."
                  : "ValtronaAmp+ is already running with these settings; it did not say that its "
                    "window is on screen.");
        return 0;
    }

    Form1 form;
    instance.setActivationHandler([&form] {
        if (form.isMinimized())
            form.setWindowState(form.windowState() & ~Qt::WindowMinimized);
        form.Systray_Activated(); // out of the tray where it was there, shown, raised and activated
        return form.isVisible();
    });
    form.start();
    if (!instance.guardProblem().isEmpty())
        form.statusBar()->showMessage(instance.guardProblem());
    return app.exec();
}
