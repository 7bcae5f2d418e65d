#pragma once
// The slave address the operator names in the "Select Slave ID" field.

#include <QString>

#include <cstdint>
#include <optional>

namespace korvane {

/// Highest slave address the list offers (its entries are "1" to "247").
constexpr int HighestSlaveAddress = 247;

/// The address of the list entry that `text` names: exactly one of "1" to
/// "247", blanks around it ignored. Anything else ("", "0", "012", "+5",
/// "300", "1.5", "abc") names no entry and gives std::nullopt, so that a
/// mistyped address never becomes the broadcast address 0.
std::optional<std::uint8_t> slaveAddressFromText(const QString &text);

} // namespace korvane
