#pragma once
// The functional test of one device, for an end-of-line station: read the
// counter; write a number that differs and read it back; restore the
// counter; write a text; switch output 1, output 2 and the buzzer on and
// off; read the counter once more. Each step passes or fails with its
// reason. Whatever happens, and also when interrupted, the device is left
// with the counter as first read and the outputs and the buzzer off.
//
// The sequence alone: the requests go through a function the caller gives
// (the port in korvane-cli, a script in the tests).

#include "Outcome.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace korvane::cli {

struct TestRequest {
    enum class Kind { Read, WriteNumber, Reset, WriteText, Switch };
    Kind kind = Kind::Read;
    qint32 number = 0;  ///< WriteNumber
    QString text;       ///< WriteText
    int output = 0;     ///< Switch: 1, 2, 3 (the buzzer)
    bool on = false;    ///< Switch
    friend bool operator==(const TestRequest &, const TestRequest &) = default;
};

/// How a request ended, as the test needs it.
struct TestReply {
    Outcome outcome = Outcome::NoReply;
    std::optional<qint32> value;  ///< the counter, for a read that succeeded
    QString note;                 ///< why it failed, in the traffic window's words
    double elapsedMs = 0;
    bool aborted = false;         ///< the wait was cut short: stop at once
};

struct TestStep {
    int number = 0;           ///< 1, 2, ... in the order sent
    QString name;             ///< "read back 123456"
    bool passed = false;
    QString reason;           ///< "counter 1234", "no-reply: no reply within the wait (100 ms)"
    double elapsedMs = 0;
    bool restoring = false;   ///< sent after an interruption, to leave the device as found
};

class DeviceTest {
public:
    using Send = std::function<TestReply(const TestRequest &)>;
    using Report = std::function<void(const TestStep &)>;

    /// The text the test writes to the display (its registers keep it).
    static QString testText();
    /// How far a counter may count on between a write and its read-back.
    static constexpr qint32 CountingTolerance = 100;
    /// A number that differs clearly from the value read (by more than the
    /// tolerance, within what the display shows).
    static qint32 testNumber(qint32 valueRead);

    DeviceTest(Send send, Report report);

    /// Runs the steps in order, each reported as it ends.
    void run();
    /// From the next step on, only what restores the end state is sent.
    void interrupt() { interrupted_ = true; }

    bool passed() const;
    bool interrupted() const { return interrupted_; }
    /// The first read sent nothing (no port): exit status 4.
    bool nothingSent() const { return nothingSent_; }
    const QList<TestStep> &steps() const { return steps_; }
    /// How many of the test's own steps passed (not those that restored
    /// the device after an interruption).
    int passedSteps() const;
    /// The names of the failed steps.
    QStringList failures() const;
    /// The steps the test has when it runs to its end.
    static int plannedSteps() { return 12; }

private:
    /// Sends one step; false when the run must stop at once.
    bool step(const QString &name, const TestRequest &request,
              const std::function<bool(const TestReply &, QString *reason)> &judge = {});
    void restore();

    Send send_;
    Report report_;
    QList<TestStep> steps_;
    bool interrupted_ = false;
    bool aborted_ = false;
    bool nothingSent_ = false;
    std::optional<qint32> first_;
    bool counterChanged_ = false;
    bool offConfirmed_[3] = {false, false, false};
};

} // namespace korvane::cli
