#pragma once
// find: what korvane-cli asks the device search for, from its options and
// the settings file, and how it reports the devices found and each port's
// verdict.

#include "CliTarget.h"
#include "Report.h"

#include "session/SearchPlan.h"
#include "session/SearchReport.h"

namespace korvane::cli {

struct FindChoice {
    SearchOptions options;
    QString error;  ///< why nothing can be searched (a usage error)
};

/// The ports (--ports, else --port, else the settings file's port; a COM
/// number through [Ports]), baud rates, formats, addresses, probe wait and
/// whether to go on after the first device. The slave address and line
/// settings in use (from the options, else the settings file) are tried
/// first; values of the settings file that cannot be used are not.
FindChoice findOptions(const Options &options, const StoredSettings &stored);

/// "COM1" for a COM port, else the device as given.
QString searchPortName(int commPort, const QString &device);

/// A device found, on one line: "found: COM1 /dev/ttyUSB0  slave 5  19200
/// 8E1  counter 1234".
QString foundLine(const FoundDevice &device);
JsonFields foundFields(const FoundDevice &device);
/// A port's verdict as a JSON object.
JsonFields verdictFields(const PortReport &report);

/// 0 a device was found; 4 no port could be opened; 1 otherwise.
int findExitCode(const SearchReport &report);

} // namespace korvane::cli
