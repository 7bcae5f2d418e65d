#include "ParityMarks.h"

namespace korvane {

QByteArray ParityMarkDecoder::decode(QByteArrayView received)
{
    constexpr char FF = char(0xFF);
    QByteArray out;
    out.reserve(received.size() + 1);
    for (const char c : received) {
        switch (state_) {
        case State::Data:
            if (c == FF)
                state_ = State::AfterFF;
            else
                out.append(c);
            break;
        case State::AfterFF:
            if (c == '\0') {
                state_ = State::AfterFF00;
            } else {
                // FF FF is one real FF; any other byte after FF was not a
                // mark, and both are kept.
                out.append(FF);
                if (c != FF)
                    out.append(c);
                state_ = State::Data;
            }
            break;
        case State::AfterFF00:
            out.append(ErrorByte);
            ++errors_;
            state_ = State::Data;
            break;
        }
    }
    return out;
}

} // namespace korvane
