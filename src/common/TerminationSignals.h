#pragma once
// SIGINT, SIGTERM and SIGHUP as a Qt signal: a program without a window
// decides itself what a termination request means (finish a step, restore
// a device, print a summary). The handler only wakes the event loop, so
// the work happens in ordinary code, also inside a nested wait.

#include <QObject>

namespace korvane {

class TerminationSignals : public QObject {
    Q_OBJECT
public:
    /// From now on the three signals are caught and reported by
    /// received(); they no longer end the process. One object per process.
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    /// How many termination signals arrived so far.
    int count() const { return count_; }

signals:
    /// A signal arrived (signal: its number, e.g. SIGINT).
    void received(int signal);

private:
    void drain();
    int count_ = 0;
};

} // namespace korvane
