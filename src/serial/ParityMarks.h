#pragma once
// Received bytes with parity or framing errors, as the line discipline
// marks them (termios PARMRK with INPCK, IGNPAR off), turned into data the
// way the classic communications control delivered them: a byte that
// arrived with an error becomes '?' (3F), so the reply check sees a
// corrupted frame instead of one whose bytes merely lost their parity.
//
// On the wire from the kernel:
// - FF 00 x  a byte x received with a parity or framing error (a break
//            arrives as FF 00 00 too)          -> 3F
// - FF FF    a real FF byte                    -> FF
// - FF y     (y neither 00 nor FF; not produced by the kernel) -> FF y,
//            kept unchanged
// A mark may be split across reads; the decoder keeps its place between
// calls until reset().

#include <QByteArray>
#include <QByteArrayView>

namespace korvane {

class ParityMarkDecoder {
public:
    /// The byte that stands for one received with an error.
    static constexpr char ErrorByte = '?';

    /// The data in the next bytes read from the device. The bytes of an
    /// unfinished mark at the end are held back until the next call.
    QByteArray decode(QByteArrayView received);

    /// Forgets an unfinished mark (the port closed, or input was discarded).
    void reset() { state_ = State::Data; }

    /// True while the end of the last read was an unfinished mark.
    bool holdsPartialMark() const { return state_ != State::Data; }

    /// How many bytes decoded so far arrived with an error (each one
    /// ErrorByte in the data); reset() keeps the count.
    quint64 errorCount() const { return errors_; }

private:
    enum class State { Data, AfterFF, AfterFF00 };
    State state_ = State::Data;
    quint64 errors_ = 0;
};

} // namespace korvane
