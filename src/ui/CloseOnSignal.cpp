#include "CloseOnSignal.h"

#include "common/TerminationSignals.h"

#include <QCoreApplication>
#include <QPointer>
#include <QWidget>

namespace korvane {

void closeOnTerminationSignals(QWidget *window)
{
    auto *caught = new TerminationSignals(window);
    QPointer<QWidget> target(window);
    QObject::connect(caught, &TerminationSignals::received, window, [target] {
        // Closing stores the settings. exit() then ends every event loop
        // that runs, the main one and any nested one (a message box, an
        // exchange's wait), so the process ends with status 0 whatever is
        // open. quit() would first try to close every window and stop if
        // one refused.
        if (target)
            target->close();
        QCoreApplication::exit(0);
    });
}

} // namespace korvane
