#pragma once
// Lets SIGTERM, SIGINT and SIGHUP close the window the normal way (so that
// the settings are stored) instead of killing the process.

class QWidget;

namespace korvane {

/// From now on a termination signal closes `window`. Call once.
void closeOnTerminationSignals(QWidget *window);

} // namespace korvane
