#pragma once
// Lets SIGTERM, SIGINT and SIGHUP close the window the normal way (so that
// the settings are stored) and end the program with status 0, instead of
// killing the process. It needs the main event loop to run (exit() does
// nothing before QApplication::exec()).

class QWidget;

namespace korvane {

/// From now on a termination signal closes `window`. Call once.
void closeOnTerminationSignals(QWidget *window);

} // namespace korvane
