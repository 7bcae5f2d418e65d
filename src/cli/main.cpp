// korvane-cli: the counter/display device's commands from a shell, a script
// or a test station, without a window.

#include "CliMain.h"

int main(int argc, char *argv[])
{
    return korvane::cli::runCli(argc, argv);
}
