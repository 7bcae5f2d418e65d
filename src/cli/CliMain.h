#pragma once
// korvane-cli as a whole: reads the command line and the settings, opens
// the port, runs the command and returns the exit status.

namespace korvane::cli {

int runCli(int argc, char **argv);

} // namespace korvane::cli
