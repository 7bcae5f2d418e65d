#include "DeviceTest.h"

#include <algorithm>
#include <cstdlib>

namespace korvane::cli {

namespace {
TestRequest request(TestRequest::Kind kind)
{
    TestRequest r;
    r.kind = kind;
    return r;
}

TestRequest readRequest() { return request(TestRequest::Kind::Read); }

TestRequest switchRequest(int output, bool on)
{
    TestRequest r = request(TestRequest::Kind::Switch);
    r.output = output;
    r.on = on;
    return r;
}

QString switchName(int output, bool on)
{
    return (output == 3 ? QStringLiteral("buzzer") : QStringLiteral("output %1").arg(output))
        + (on ? QStringLiteral(" on") : QStringLiteral(" off"));
}

// Whether a counter read after writing `expected` holds it, allowing for
// counting on in between.
bool holds(qint32 read, qint32 expected, QString *reason)
{
    const qint64 off = qint64(read) - expected;
    if (std::llabs(off) > DeviceTest::CountingTolerance) {
        *reason = QStringLiteral("counter %1, not %2").arg(read).arg(expected);
        return false;
    }
    *reason = off == 0 ? QStringLiteral("counter %1").arg(read)
                       : QStringLiteral("counter %1 (%2 %3 since the write)")
                             .arg(read).arg(off > 0 ? QStringLiteral("counted on") : QStringLiteral("counted down"))
                             .arg(std::llabs(off));
    return true;
}
} // namespace

QString DeviceTest::testText()
{
    return QStringLiteral("TEST");
}

qint32 DeviceTest::testNumber(qint32 valueRead)
{
    constexpr qint32 usual = 123456, other = 654321;
    return std::llabs(qint64(valueRead) - usual) > 10 * CountingTolerance ? usual : other;
}

DeviceTest::DeviceTest(Send send, Report report)
    : send_(std::move(send))
    , report_(std::move(report))
{
}

bool DeviceTest::step(const QString &name, const TestRequest &request,
                      const std::function<bool(const TestReply &, QString *)> &judge)
{
    if (aborted_)
        return false;
    // An interruption during this step's wait leaves it an ordinary step.
    const bool restoring = interrupted_;
    const TestReply reply = send_(request);
    if (reply.aborted) {
        aborted_ = true;
        return false;
    }
    TestStep s;
    s.number = int(steps_.size()) + 1;
    s.name = name;
    s.elapsedMs = reply.elapsedMs;
    s.restoring = restoring;
    if (reply.outcome != Outcome::Ok) {
        s.reason = outcomeName(reply.outcome) + QStringLiteral(": ") + reply.note;
        if (s.number == 1 && reply.outcome == Outcome::NotSent)
            nothingSent_ = true;
    } else if (request.kind == TestRequest::Kind::Read && !reply.value) {
        s.reason = QStringLiteral("the reply holds no counter value");
    } else {
        s.passed = judge ? judge(reply, &s.reason) : true;
    }
    steps_ << s;
    if (report_)
        report_(s);
    return s.passed;
}

void DeviceTest::run()
{
    const bool firstRead = step(QStringLiteral("read counter"), readRequest(), [this](const TestReply &r, QString *why) {
        first_ = r.value;
        *why = QStringLiteral("counter %1").arg(r.value.value_or(0));
        return r.value.has_value();
    });
    // Without the counter's value nothing can be restored: nothing else is
    // sent, so nothing is changed.
    if (!firstRead || !first_)
        return;
    const qint32 first = *first_;
    const auto goOn = [this] {
        if (interrupted_)
            restore();
        return !interrupted_ && !aborted_;
    };

    const qint32 number = testNumber(first);
    if (!goOn())
        return;
    counterChanged_ = true;
    TestRequest write = request(TestRequest::Kind::WriteNumber);
    write.number = number;
    step(QStringLiteral("write number %1").arg(number), write);
    if (!goOn())
        return;
    step(QStringLiteral("read back %1").arg(number), readRequest(),
         [number](const TestReply &r, QString *why) { return holds(*r.value, number, why); });
    if (!goOn())
        return;
    restore();
    if (!goOn())
        return;
    TestRequest text = request(TestRequest::Kind::WriteText);
    text.text = testText();
    step(QStringLiteral("write text \"%1\"").arg(testText()), text);
    for (int output = 1; output <= 3; ++output) {
        for (const bool on : {true, false}) {
            if (!goOn())
                return;
            const bool done = step(switchName(output, on), switchRequest(output, on));
            if (!on && done)
                offConfirmed_[output - 1] = true;
        }
    }
    if (!goOn())
        return;
    step(QStringLiteral("read counter again"), readRequest(),
         [first](const TestReply &r, QString *why) { return holds(*r.value, first, why); });
}

void DeviceTest::restore()
{
    if (first_ && counterChanged_) {
        const qint32 first = *first_;
        TestRequest back = request(first == 0 ? TestRequest::Kind::Reset : TestRequest::Kind::WriteNumber);
        back.number = first;
        if (step(first == 0 ? QStringLiteral("reset counter (it was 0)") : QStringLiteral("restore counter %1").arg(first),
                 back))
            counterChanged_ = false;
    }
    if (!interrupted_)
        return;
    for (int output = 1; output <= 3; ++output) {
        if (!offConfirmed_[output - 1] && step(switchName(output, false), switchRequest(output, false)))
            offConfirmed_[output - 1] = true;
    }
}

bool DeviceTest::passed() const
{
    if (interrupted_ || aborted_ || steps_.size() != plannedSteps())
        return false;
    for (const TestStep &s : steps_) {
        if (!s.passed)
            return false;
    }
    return true;
}

int DeviceTest::passedSteps() const
{
    return int(std::count_if(steps_.begin(), steps_.end(), [](const TestStep &s) { return s.passed && !s.restoring; }));
}

QStringList DeviceTest::failures() const
{
    QStringList names;
    for (const TestStep &s : steps_) {
        if (!s.passed)
            names << s.name;
    }
    return names;
}

} // namespace korvane::cli
