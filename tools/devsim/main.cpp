// korvane-devsim: a Modbus RTU slave that behaves as the counter/display
// device, on a pseudo-terminal or behind a TCP port, with faults on request
// for tests.
//
// It deliberately shares no code with the KORVANE program, so that running
// the program against it checks the program independently.

#include "options.h"
#include "pty_transport.h"
#include "simulator.h"
#include "tcp_transport.h"

#include <cstdio>

int main(int argc, char **argv)
{
    using namespace devsim;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const Options opt = parseOptions(argc, argv);

    std::unique_ptr<Transport> transport;
    if (opt.tcp) {
        std::string error;
        auto addresses = resolveListenAddress(*opt.tcp, error);
        if (addresses.empty()) {
            warn("--tcp %s", error.c_str());  // a name that is not known: a bad command line
            return 2;
        }
        transport = std::make_unique<TcpTransport>(opt.tcp->text, std::move(addresses));
    } else {
        transport = std::make_unique<PtyTransport>(opt.settings);
    }
    if (!installSignalHandlers())
        return 1;
    Simulator sim(opt, std::move(transport));
    return sim.run();
}
