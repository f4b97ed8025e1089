// qxsim's command line: the device's options here, each part of the bench
// (analog front end, jig, clock, meter, test server, production faults)
// declaring its own beside its code, all in one option table.
#pragma once

#include <cstdint>
#include <string>

#include "base/cli.h"
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
  int devices = 1;    // --devices
};

// The device's options: identity, endpoints, restart, link and flash faults.
void AddDeviceOptions(cli::OptionTable* table, BenchOptions* options, DeviceCommandLine* seen);
// Hands the link faults to the endpoints; call once after parsing.
void ApplyLinkFaults(const DeviceCommandLine& seen, BenchOptions* options);
// Every part's options.
void AddBenchOptions(cli::OptionTable* table, BenchOptions* options, DeviceCommandLine* seen);

// qxsim's starting point before its options: the endpoints of the station's
// settings, the meter and the test server running. False with *error for a
// test server setting that is not host:port.
bool DefaultBenchOptions(BenchOptions* options, std::string* error);
// The whole qxsim command line over *options. Returns 0 when the bench can
// start (the link faults applied), 1 when --help or --version has been
// answered, -1 for a bad argument (named in *error when given, else on
// standard error).
int ParseBenchCommandLine(int argc, char** argv, BenchOptions* options, DeviceCommandLine* seen,
                          std::string* error = nullptr);
std::string BenchUsage(const cli::OptionTable& table);

// "AA.BB.CC.DD.EE.FF" (or with ':'), hexadecimal.
bool ParseMacText(const std::string& text, uint64_t* mac);

}  // namespace qxsim
