// The main loop: the device on its transport, the control FIFO, the link,
// standard input and the stop signals.
#pragma once

#include "device.h"
#include "framer.h"
#include "options.h"
#include "transport.h"

#include <memory>

namespace devsim {

// Routes SIGINT and SIGTERM into the main loop; false (with a warning) if
// that cannot be set up.
bool installSignalHandlers();

class Simulator : private Transport::Sink {
public:
    Simulator(const Options &o, std::unique_ptr<Transport> transport);
    ~Simulator() override;
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Runs until a stop; returns the exit status.
    int run();

private:
    bool setUp();
    void cleanup();
    bool makeLink();
    bool makeControl();
    void readControl();
    void sendDue(Clock::time_point now);
    void frameArrived(const Bytes &frame, Clock::time_point now);

    void received(const Bytes &bytes, Clock::time_point now) override;
    void peerChanged(Clock::time_point now) override;

    const Options &opt_;
    std::unique_ptr<Transport> transport_;
    Device device_;
    Framer framer_;

    int controlFd_ = -1, controlKeepOpen_ = -1;
    std::string controlBuf_;
    std::string linkTarget_;
    bool linkMade_ = false, controlMade_ = false;
};

} // namespace devsim
