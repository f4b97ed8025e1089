#include "sim/options.h"

#include <cmath>
#include <cstdlib>

#include "platform/number.h"
#include "platform/settings.h"
#include "sim/production_faults.h"

namespace qxsim {

namespace {

// The device's Modbus TCP port when an endpoint setting names a host alone.
constexpr char kModbusPort[] = ":502";

std::string EndpointSetting(const char* name) {
  std::string text = platform::Setting(name);
  if (text.find(':') == std::string::npos) text += kModbusPort;
  return text;
}

bool ParseUnsigned(const std::string& text, uint64_t high, uint64_t* value) {
  return platform::ParseWholeNumber(text.c_str(), high, value);
}

bool ParseNumber(const std::string& text, double low, double high, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (end == nullptr || *end != '\0' || !std::isfinite(v) || v < low || v > high) return false;
  *value = v;
  return true;
}

bool SetIdentity(StartingIdentity identity, BenchOptions* options, DeviceCommandLine* seen,
                 std::string* error) {
  if (seen->identityGiven && options->device.identity != identity) {
    *error = "--blank, --defaults and --serial/--mac exclude each other";
    return false;
  }
  seen->identityGiven = true;
  options->device.identity = identity;
  return true;
}

}  // namespace

std::string DefaultUsbEndpoint() { return EndpointSetting("QXM_USB_ENDPOINT"); }

std::string DefaultEthEndpoint() { return EndpointSetting("QX_DEVICE_IP"); }

int ParseBenchCommandLine(int argc, char** argv, BenchOptions* options, DeviceCommandLine* seen,
                          std::string* error) {
  options->usbEndpoint = DefaultUsbEndpoint();
  options->ethEndpoint = DefaultEthEndpoint();
  options->withMeter = true;
  options->withTestServer = true;
  if (!DefaultTestServerOptions(&options->testServer, error)) return -1;
  for (int i = 1; i < argc;) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return 1;
    if (arg == "--version") return 2;
    int used = ParseDeviceOption(argc, argv, i, options, seen, error);
    if (used == 0) used = ParseJigOption(argc, argv, i, &options->jig, error);
    if (used == 0) used = ParseAnalogOption(argc, argv, i, &options->device.analog, error);
    if (used == 0) used = ParseClockOption(argc, argv, i, &options->device.clock, error);
    if (used == 0) used = ParseMeterOption(argc, argv, i, &options->meter, error);
    if (used == 0) used = ParseTestServerOption(argc, argv, i, &options->testServer, error);
    if (used == 0) used = ParseProductionFaultOption(argc, argv, i, &options->production, error);
    if (used < 0) return -1;
    if (used == 0) {
      *error = "unknown option " + arg;
      return -1;
    }
    i += used;
  }
  ApplyLinkFaults(*seen, options);
  return 0;
}

std::string BenchUsage() {
  return std::string(DeviceUsage()) + AnalogUsage() + JigUsage() + ClockUsage() + MeterUsage() +
         TestServerUsage() + ProductionFaultUsage();
}

bool ParseMacText(const std::string& text, uint64_t* mac) {
  if (text.size() != 17) return false;
  uint64_t value = 0;
  for (size_t i = 0; i < 17; ++i) {
    char c = text[i];
    if (i % 3 == 2) {
      if (c != '.' && c != ':') return false;
      continue;
    }
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
    if (digit < 0) return false;
    value = value << 4 | static_cast<uint64_t>(digit);
  }
  *mac = value;
  return true;
}

int ParseDeviceOption(int argc, char** argv, int i, BenchOptions* options, DeviceCommandLine* seen,
                      std::string* error) {
  if (i < 0 || i >= argc || argv[i] == nullptr) return 0;
  const std::string name = argv[i];
  DeviceOptions& device = options->device;
  LinkFaults& faults = seen->faults;

  // Options without a value.
  if (name == "--max") {
    device.isMax = true;
    return 1;
  }
  if (name == "--blank")
    return SetIdentity(StartingIdentity::kBlank, options, seen, error) ? 1 : -1;
  if (name == "--defaults") {
    return SetIdentity(StartingIdentity::kFactoryDefaults, options, seen, error) ? 1 : -1;
  }
  if (name == "--fault-no-answer") {
    faults.noAnswer = true;
    return 1;
  }
  if (name == "--fault-flash-write") {
    options->flashWriteFailAfter = 0;
    return 1;
  }
  if (name == "--fault-corrupt-header") {
    faults.corruptHeader = HeaderFault::kTransactionId;
    return 1;
  }
  const std::string corrupt = "--fault-corrupt-header=";
  if (name.compare(0, corrupt.size(), corrupt) == 0) {
    if (!ParseHeaderFault(name.substr(corrupt.size()), &faults.corruptHeader)) {
      *error = "bad header field in " + name + " (tid, protocol, length, unit, function)";
      return -1;
    }
    return 1;
  }

  static const char* const kWithValue[] = {"--serial",
                                           "--mac",
                                           "--firmware",
                                           "--bootloader",
                                           "--state",
                                           "--usb",
                                           "--eth",
                                           "--restart-seconds",
                                           "--idle-timeout",
                                           "--fault-slow-ms",
                                           "--fault-drop-after",
                                           "--fault-flash-write-after",
                                           "--fault-on",
                                           "--name"};
  bool known = false;
  for (const char* k : kWithValue) known = known || name == k;
  if (!known) return 0;
  if (i + 1 >= argc || argv[i + 1] == nullptr) {
    *error = name + " needs a value";
    return -1;
  }
  const std::string value = argv[i + 1];
  uint64_t whole = 0;
  double number = 0;

  if (name == "--serial") {
    if (!ParseUnsigned(value, 0xFFFFFFFFull, &whole)) {
      *error = "bad serial number (0..4294967295): " + value;
      return -1;
    }
    if (!SetIdentity(StartingIdentity::kGiven, options, seen, error)) return -1;
    device.serialNumber = static_cast<uint32_t>(whole);
  } else if (name == "--mac") {
    if (!ParseMacText(value, &device.mac)) {
      *error = "bad MAC address (AA.BB.CC.DD.EE.FF): " + value;
      return -1;
    }
    if (!SetIdentity(StartingIdentity::kGiven, options, seen, error)) return -1;
  } else if (name == "--firmware" || name == "--bootloader") {
    if (!ParseNumber(value, 0.0, 1000.0, &number)) {
      *error = "bad version (0..1000): " + value;
      return -1;
    }
    (name == "--firmware" ? device.factoryFirmwareVersion : device.bootloaderVersion) =
        static_cast<float>(number);
  } else if (name == "--name") {
    if (value.size() > kSimDeviceNameBytes) {
      *error = "device name longer than 40 bytes: " + value;
      return -1;
    }
    device.name = value;
  } else if (name == "--state") {
    options->statePath = value;
  } else if (name == "--usb" || name == "--eth") {
    EndpointSpec spec;
    if (!ParseEndpoint(value, &spec, error)) return -1;
    (name == "--usb" ? options->usbEndpoint : options->ethEndpoint) = value;
  } else if (name == "--restart-seconds") {
    if (!ParseNumber(value, 0.0, 600.0, &number)) {
      *error = "bad restart time (0..600 seconds): " + value;
      return -1;
    }
    options->restartMs = static_cast<uint32_t>(std::lround(number * 1000.0));
  } else if (name == "--idle-timeout") {
    if (!ParseUnsigned(value, 86400, &whole)) {
      *error = "bad idle time-out (0..86400 seconds, 0: never): " + value;
      return -1;
    }
    options->idleTimeoutMs = static_cast<uint32_t>(whole * 1000);
  } else if (name == "--fault-slow-ms") {
    if (!ParseUnsigned(value, 600000, &whole)) {
      *error = "bad delay (0..600000 ms): " + value;
      return -1;
    }
    faults.slowMs = static_cast<uint32_t>(whole);
  } else if (name == "--fault-drop-after" || name == "--fault-flash-write-after") {
    if (!ParseUnsigned(value, 1000000000, &whole)) {
      *error = "bad count: " + value;
      return -1;
    }
    (name == "--fault-drop-after" ? faults.dropAfter : options->flashWriteFailAfter) =
        static_cast<int>(whole);
  } else {  // --fault-on
    if (value != "usb" && value != "eth" && value != "both") {
      *error = "bad endpoint for --fault-on (usb, eth, both): " + value;
      return -1;
    }
    seen->faultOnUsb = value != "eth";
    seen->faultOnEth = value != "usb";
  }
  return 2;
}

void ApplyLinkFaults(const DeviceCommandLine& seen, BenchOptions* options) {
  if (seen.faultOnUsb) options->usbFaults = seen.faults;
  if (seen.faultOnEth) options->ethFaults = seen.faults;
}

const char* DeviceUsage() {
  return "  --max                     the \"-Max\" edition\n"
         "  --defaults                factory default serial number and MAC (default)\n"
         "  --blank                   blank configuration and calibration pages\n"
         "  --serial N                this serial number in the configuration page\n"
         "  --mac AA.BB.CC.DD.EE.FF   this MAC address in the configuration page\n"
         "  --name TEXT               the device's name (any bytes, at most 40)\n"
         "  --firmware V              firmware version of the factory info page (1.0)\n"
         "  --bootloader V            bootloader version (0.90)\n"
         "  --state FILE              keep the flash in FILE between runs (an existing\n"
         "                            file wins over the identity options)\n"
         "  --usb HOST:PORT           USB endpoint (QXM_USB_ENDPOINT, 127.0.0.1:50200)\n"
         "  --eth HOST:PORT           Ethernet endpoint (QX_DEVICE_IP, 127.0.0.1:50502)\n"
         "  --restart-seconds S       how long a restart keeps the device away (5)\n"
         "  --idle-timeout S          close a device connection that brings no request\n"
         "                            for S seconds (600; 0: never)\n"
         "  --fault-no-answer         requests are never answered\n"
         "  --fault-slow-ms N         every reply comes N ms late\n"
         "  --fault-corrupt-header[=FIELD]\n"
         "                            replies carry a wrong header field: tid (default),\n"
         "                            protocol, length, unit or function\n"
         "  --fault-drop-after N      a connection is dropped after N requests\n"
         "  --fault-on usb|eth|both   endpoints the link faults above apply to (both)\n"
         "  --fault-flash-write       every flash write fails (exception 4)\n"
         "  --fault-flash-write-after N\n"
         "                            N flash writes succeed, then every one fails\n";
}

}  // namespace qxsim
