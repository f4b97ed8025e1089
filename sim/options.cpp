#include "sim/options.h"

#include <cmath>

#include "platform/settings.h"
#include "sim/line.h"
#include "sim/production_faults.h"

namespace qxsim {

namespace {

// Where the options' help texts start.
constexpr size_t kOptionColumn = 28;

// The device's Modbus TCP port when an endpoint setting names a host alone.
constexpr char kModbusPort[] = ":502";

std::string EndpointSetting(const char* name) {
  std::string text = platform::Setting(name);
  if (text.find(':') == std::string::npos) text += kModbusPort;
  return text;
}

bool SetIdentity(StartingIdentity identity, BenchOptions* options, DeviceCommandLine* seen) {
  if (seen->identityGiven && options->device.identity != identity) return false;
  seen->identityGiven = true;
  options->device.identity = identity;
  return true;
}

}  // namespace

std::string DefaultUsbEndpoint() { return EndpointSetting("QXM_USB_ENDPOINT"); }

std::string DefaultEthEndpoint() { return EndpointSetting("QX_DEVICE_IP"); }

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

void ApplyLinkFaults(const DeviceCommandLine& seen, BenchOptions* options) {
  if (seen.faultOnUsb) options->usbFaults = seen.faults;
  if (seen.faultOnEth) options->ethFaults = seen.faults;
}

namespace {

// A handler that gives the device its starting identity; the identity's
// value (when any) is taken by take first.
cli::Handler Identity(StartingIdentity identity, BenchOptions* options, DeviceCommandLine* seen,
                      cli::Handler take = nullptr) {
  return [=](cli::Value& v) {
    if (take && !take(v)) return false;
    if (!SetIdentity(identity, options, seen)) {
      return v.Refuse(std::string("--blank, --defaults and --serial/--mac exclude each other"));
    }
    return true;
  };
}

cli::Handler Endpoint(std::string* target) {
  return [target](cli::Value& v) {
    EndpointSpec spec;
    std::string error;
    if (!ParseEndpoint(v.string(), &spec, &error)) return v.Refuse(error);
    *target = v.string();
    return true;
  };
}

void AddIdentityOptions(cli::OptionTable* table, BenchOptions* o, DeviceCommandLine* seen) {
  DeviceOptions& device = o->device;
  table->Flag("--max", "the \"-Max\" edition", cli::Set(&device.isMax, true));
  table->Flag("--defaults", "factory default serial number and MAC (default)",
              Identity(StartingIdentity::kFactoryDefaults, o, seen));
  table->Flag("--blank", "blank configuration and calibration pages",
              Identity(StartingIdentity::kBlank, o, seen));
  table->Option("--serial N", "this serial number in the configuration page",
                Identity(StartingIdentity::kGiven, o, seen,
                         cli::Whole(&device.serialNumber, 0xFFFFFFFFull,
                                    cli::Says("bad serial number (0..4294967295): "))));
  table->Option("--mac AA.BB.CC.DD.EE.FF", "this MAC address in the configuration page",
                Identity(StartingIdentity::kGiven, o, seen, [&device](cli::Value& v) {
                  if (ParseMacText(v.string(), &device.mac)) return true;
                  return v.Refuse(cli::Says("bad MAC address (AA.BB.CC.DD.EE.FF): "));
                }));
  table->Option("--name TEXT", "the device's name (any bytes, at most 40)",
                [&device](cli::Value& v) {
                  if (v.string().size() > kSimDeviceNameBytes) {
                    return v.Refuse(cli::Says("device name longer than 40 bytes: "));
                  }
                  device.name = v.string();
                  return true;
                });
  const cli::Refusal badVersion = cli::Says("bad version (0..1000): ");
  table->Option("--firmware V", "firmware version of the factory info page (1.0)",
                cli::Real(&device.factoryFirmwareVersion, 0.0, 1000.0, badVersion));
  table->Option("--bootloader V", "bootloader version (0.90)",
                cli::Real(&device.bootloaderVersion, 0.0, 1000.0, badVersion));
  table->Option("--state FILE",
                "keep the flash in FILE between runs (an existing\nfile wins over the identity "
                "options)",
                cli::Text(&o->statePath));
}

void AddLinkOptions(cli::OptionTable* table, BenchOptions* o, DeviceCommandLine* seen) {
  LinkFaults& faults = seen->faults;
  table->Option("--usb HOST:PORT", "USB endpoint (QXM_USB_ENDPOINT, 127.0.0.1:50200)",
                Endpoint(&o->usbEndpoint));
  table->Option("--eth HOST:PORT", "Ethernet endpoint (QX_DEVICE_IP, 127.0.0.1:50502)",
                Endpoint(&o->ethEndpoint));
  table->Option(
      "--restart-seconds S", "how long a restart keeps the device away (5)",
      cli::Real(0.0, 600.0, cli::Says("bad restart time (0..600 seconds): "),
                [o](double s) { o->restartMs = static_cast<uint32_t>(std::lround(s * 1000.0)); }));
  table->Option(
      "--idle-timeout S",
      "close a device connection that brings no request\nfor S seconds (600; 0: never)",
      cli::Whole(0, 86400, cli::Says("bad idle time-out (0..86400 seconds, 0: never): "),
                 [o](uint64_t s) { o->idleTimeoutMs = static_cast<uint32_t>(s * 1000); }));
  table->Flag("--fault-no-answer", "requests are never answered", cli::Set(&faults.noAnswer, true));
  table->Option("--fault-slow-ms N", "every reply comes N ms late",
                cli::Whole(&faults.slowMs, 600000, cli::Says("bad delay (0..600000 ms): ")));
  table->Attached("--fault-corrupt-header[=FIELD]",
                  "replies carry a wrong header field: tid (default),\nprotocol, length, unit or "
                  "function",
                  [&faults](cli::Value& v) {
                    if (v.string().empty()) {
                      faults.corruptHeader = HeaderFault::kTransactionId;
                      return true;
                    }
                    if (ParseHeaderFault(v.string(), &faults.corruptHeader)) return true;
                    return v.Refuse("bad header field in --fault-corrupt-header=" + v.string() +
                                    " (tid, protocol, length, unit, function)");
                  });
  table->Option("--fault-drop-after N", "a connection is dropped after N requests",
                cli::Whole(&faults.dropAfter, 1000000000, cli::Says("bad count: ")));
}

void AddFaultPlaceOptions(cli::OptionTable* table, BenchOptions* o, DeviceCommandLine* seen) {
  table->Option("--fault-on usb|eth|both", "endpoints the link faults above apply to (both)",
                [seen](cli::Value& v) {
                  const std::string& where = v.string();
                  if (where != "usb" && where != "eth" && where != "both") {
                    return v.Refuse(cli::Says("bad endpoint for --fault-on (usb, eth, both): "));
                  }
                  seen->faultOnUsb = where != "eth";
                  seen->faultOnEth = where != "usb";
                  return true;
                });
  table->Flag("--fault-flash-write", "every flash write fails (exception 4)",
              cli::Set(&o->flashWriteFailAfter, 0));
  table->Option("--fault-flash-write-after N", "N flash writes succeed, then every one fails",
                cli::Whole(&o->flashWriteFailAfter, 1000000000, cli::Says("bad count: ")));
}

}  // namespace

void AddDeviceOptions(cli::OptionTable* table, BenchOptions* options, DeviceCommandLine* seen) {
  AddIdentityOptions(table, options, seen);
  AddLinkOptions(table, options, seen);
  AddFaultPlaceOptions(table, options, seen);
}

bool DefaultBenchOptions(BenchOptions* options, std::string* error) {
  options->usbEndpoint = DefaultUsbEndpoint();
  options->ethEndpoint = DefaultEthEndpoint();
  options->withMeter = true;
  options->withTestServer = true;
  return DefaultTestServerOptions(&options->testServer, error);
}

void AddBenchOptions(cli::OptionTable* table, BenchOptions* options, DeviceCommandLine* seen) {
  AddDeviceOptions(table, options, seen);
  AddAnalogOptions(table, &options->device.analog);
  AddJigOptions(table, &options->jig);
  AddClockOptions(table, &options->device.clock);
  AddMeterOptions(table, &options->meter);
  AddTestServerOptions(table, &options->testServer);
  AddProductionFaultOptions(table, &options->production);
}

std::string BenchUsage(const cli::OptionTable& table) {
  return "usage: qxsim [options]\n"
         "\n"
         "Serves a virtual Quenlox Z5 over Modbus TCP on its USB and Ethernet\n"
         "endpoints, both on one device state and one flash, with its test jig, the\n"
         "bench meter and the test server. Port 0 picks a free port; every endpoint\n"
         "served is printed on start-up. SIGINT or SIGTERM stops it (the state file\n"
         "is saved first).\n"
         "\n" +
         table.Help() + "\nOptions take their value as --opt VALUE or --opt=VALUE.\n";
}

int ParseBenchCommandLine(int argc, char** argv, BenchOptions* options, DeviceCommandLine* seen,
                          std::string* error) {
  cli::OptionTable table(kOptionColumn);
  AddBenchOptions(&table, options, seen);
  table.Option("--devices N",
               "N devices (1 ... 64, default 1), each with its own\n"
               "flash, jig and meter, on consecutive endpoints\n"
               "(--usb and --eth ports plus 0, 1, ...), their state\n"
               "files and meter links with .1, .2, ... added;\n"
               "one test server for all",
               cli::Whole(&seen->devices, kMaxLineDevices,
                          cli::Exactly("--devices needs a number of devices, 1 ... 64"), 1));
  int status = table.Parse("qxsim", argc, argv, BenchUsage(table), error);
  if (status == cli::kExitOk) return 1;
  if (status == cli::kExitUsage) return -1;
  ApplyLinkFaults(*seen, options);
  return 0;
}

}  // namespace qxsim
