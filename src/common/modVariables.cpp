#include "modVariables.h"

#include <stdexcept>
#include <string>

namespace korvane {

std::size_t FrameBuffer::checked(int i)
{
    if (i < 0 || i >= Size)
        throw std::out_of_range("TxBuf index " + std::to_string(i) + " is outside 0..20");
    return static_cast<std::size_t>(i);
}

QByteArray FrameBuffer::head(int n) const
{
    if (n < 0 || n > Size)
        throw std::out_of_range("TxBuf length " + std::to_string(n) + " is outside 0..21");
    return QByteArray(reinterpret_cast<const char *>(bytes_.data()), n);
}

} // namespace korvane
