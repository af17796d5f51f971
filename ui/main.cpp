#include "ui/artwork.h"
#include "ui/form1.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("ZTK Electronics"));
    QCoreApplication::setApplicationName(QStringLiteral("ValtronaAmp+"));
    QApplication::setWindowIcon(artwork::panelIcon());

    Form1 form;
    form.start();
    return app.exec();
}
