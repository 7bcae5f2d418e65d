// korvane-devsim: a Modbus RTU slave on a pseudo-terminal that behaves as
// the counter/display device, with faults on request for tests.
//
// It deliberately shares no code with the KORVANE program, so that running
// the program against it checks the program independently.

#include "options.h"
#include "pty_transport.h"
#include "simulator.h"

#include <cstdio>

int main(int argc, char **argv)
{
    using namespace devsim;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const Options opt = parseOptions(argc, argv);
    if (!installSignalHandlers())
        return 1;
    Simulator sim(opt, std::make_unique<PtyTransport>(opt.settings));
    return sim.run();
}
