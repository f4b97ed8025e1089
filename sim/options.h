// The device options of the qxsim command line. Each parser handles the
// option at argv[i] and returns the number of arguments it used, 0 when the
// option is not one of its own, or -1 with *error set for a bad or missing
// value, so that qxsim can chain the parsers of the bench's parts.
#pragma once

#include <cstdint>
#include <string>

#include "sim/bench.h"

namespace qxsim {

// Where qxsim listens when no option says otherwise: the station's own
// settings QXM_USB_ENDPOINT and QX_DEVICE_IP (environment, else the
// compiled-in defaults; an address alone means port 502).
std::string DefaultUsbEndpoint();
std::string DefaultEthEndpoint();

// What the parser has seen besides the options themselves.
struct DeviceCommandLine {
  bool identityGiven = false;  // --blank, --defaults, --serial or --mac
  bool faultOnUsb = true;      // --fault-on
  bool faultOnEth = true;
  LinkFaults faults;  // given to the endpoints that --fault-on names
};

//   --max  --blank  --defaults  --serial N  --mac AA.BB.CC.DD.EE.FF
//   --firmware V  --bootloader V  --state FILE  --usb HOST:PORT  --eth HOST:PORT
//   --restart-seconds S  --idle-timeout S  --fault-no-answer  --fault-slow-ms N
//   --fault-corrupt-header[=tid|protocol|length|unit|function]
//   --fault-drop-after N  --fault-flash-write  --fault-flash-write-after N
//   --fault-on usb|eth|both  --name TEXT
int ParseDeviceOption(int argc, char** argv, int i, BenchOptions* options, DeviceCommandLine* seen,
                      std::string* error);
// Hands the link faults to the endpoints; call once after parsing.
void ApplyLinkFaults(const DeviceCommandLine& seen, BenchOptions* options);
const char* DeviceUsage();

// The whole qxsim command line: the device's, jig's, clock's, meter's and
// test server's options, on top of the defaults above (the bench meter and
// the test server always run in qxsim). Returns 0 when the bench can start,
// 1 for --help, 2 for --version, -1 with *error set for a bad argument.
int ParseBenchCommandLine(int argc, char** argv, BenchOptions* options, DeviceCommandLine* seen,
                          std::string* error);
// Every option's usage lines.
std::string BenchUsage();

// "AA.BB.CC.DD.EE.FF" (or with ':'), hexadecimal.
bool ParseMacText(const std::string& text, uint64_t* mac);

}  // namespace qxsim
