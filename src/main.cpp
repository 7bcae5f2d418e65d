// KORVANE: drives one Modbus RTU counter/display device over a serial line.

#include "serial/QtSerialComponent.h"
#include "settings/modINI.h"
#include "ui/CloseOnSignal.h"
#include "ui/frmMain.h"

#include <QApplication>
#include <QStyleFactory>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KORVANE"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    korvane::QtSerialComponent port;
    korvane::frmMain window(&port, korvane::modINI::path());
    korvane::closeOnTerminationSignals(&window);
    window.show();
    window.Form_Load();
    return app.exec();
}
