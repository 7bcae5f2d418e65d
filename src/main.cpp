// KORVANE: drives one Modbus RTU counter/display device over a serial line.

#include "common/BuildInfo.h"
#include "common/CommandLine.h"
#include "serial/AnyDeviceComponent.h"
#include "settings/SettingsLocation.h"
#include "settings/modINI.h"
#include "ui/CloseOnSignal.h"
#include "ui/frmMain.h"

#include <QApplication>
#include <QLayout>
#include <QScreen>
#include <QStyleFactory>
#include <QTimer>

int main(int argc, char *argv[])
{
    // Before QApplication, which connects to the display: --help and
    // --version need none.
    const korvane::CommandLine commandLine = korvane::parseCommandLine(korvane::argumentsOf(argc, argv));
    if (commandLine.action != korvane::CommandLine::Action::Run)
        return korvane::printAnswer(commandLine);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KORVANE"));
    QApplication::setApplicationVersion(QString::fromLatin1(korvane::build::Version));
    QApplication::setDesktopFileName(QString::fromLatin1(korvane::build::AppId));
    if (!commandLine.styleGiven)
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    // korvane.ini beside the executable, or the user's own copy (see
    // SettingsLocation.h).
    const korvane::SettingsLocation settings = korvane::prepareSettingsFile();
    korvane::modINI::setPath(settings.path);

    // A serial device, or a serial device server for a tcp:// device.
    korvane::AnyDeviceComponent port;
    korvane::frmMain window(&port, settings.path);
    window.setDeviceSource(korvane::systemDeviceSource());
    korvane::closeOnTerminationSignals(&window);
    // The window has a fixed size, which its layout sets when activated. Done
    // before show(), the size is known when the platform window is created
    // rather than changed right after (which needs a platform that can
    // update size hints of an existing window; the offscreen one cannot).
    window.ensurePolished();
    window.layout()->activate();
    // First placed in the middle of its screen, so that a message box
    // centred over the window has room on every side.
    if (const QScreen *screen = window.screen()) {
        const QRect room = screen->availableGeometry();
        window.move(room.x() + (room.width() - window.width()) / 2,
                    room.y() + (room.height() - window.height()) / 2);
    }
    window.show();
    // Loaded from inside the event loop: a warning it shows then stands over
    // the shown window, and a termination signal can end it (exit() ends
    // nested loops only while the main loop runs).
    QTimer::singleShot(0, &window, &korvane::frmMain::Form_Load);
    return app.exec();
}
