#pragma once
// Serial devices as the system would list them, for tests that give the
// window or the dialog a fixed list (asking the system opens the machine's
// serial ports).

#include "serial/PortDevices.h"

namespace korvane::test {

/// A device at path; its node is systemLocation (path when empty).
inline SerialDevice serialDevice(const QString &path, const QString &systemLocation = {},
                                 const QString &manufacturer = {}, const QString &description = {},
                                 const QString &serialNumber = {})
{
    SerialDevice d;
    d.path = path;
    d.systemLocation = systemLocation.isEmpty() ? path : systemLocation;
    d.manufacturer = manufacturer;
    d.description = description;
    d.serialNumber = serialNumber;
    return d;
}

} // namespace korvane::test
