// qxsim: the virtual bench: the Z5 on its USB and Ethernet endpoints with its
// jig and clock, the bench meter and the test server. Prints every endpoint
// it serves, then serves until SIGINT or SIGTERM, and saves its state file on
// the way out.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/signals.h"
#include "sim/bench.h"
#include "sim/options.h"
#include "tools/cli.h"

namespace {

void PrintUsage(FILE* out) {
  std::fprintf(
      out,
      "usage: qxsim [options]\n"
      "\n"
      "Serves a virtual Quenlox Z5 over Modbus TCP on its USB and Ethernet\n"
      "endpoints, both on one device state and one flash, with its test jig, the\n"
      "bench meter and the test server. Port 0 picks a free port; every endpoint\n"
      "served is printed on start-up. SIGINT or SIGTERM stops it (the state file\n"
      "is saved first).\n"
      "\n%s  --devices N               N devices (1 ... 64, default 1), each with its own\n"
      "                            flash, jig and meter, on consecutive endpoints\n"
      "                            (--usb and --eth ports plus 0, 1, ...), their state\n"
      "                            files and meter links with .1, .2, ... added;\n"
      "                            one test server for all\n"
      "  --help, --version         this text, the version\n"
      "\nOptions take their value as --opt VALUE or --opt=VALUE.\n",
      qxsim::BenchUsage().c_str());
}

constexpr uint64_t kMaxDevices = 64;

// Takes "--devices N" out of words; false with *error for a bad N.
bool TakeDevices(std::vector<std::string>* words, int* devices, std::string* error) {
  for (size_t i = 1; i < words->size(); ++i) {
    if ((*words)[i] != "--devices") continue;
    uint64_t n = 0;
    if (i + 1 >= words->size() || !cli::ParseUnsigned((*words)[i + 1].c_str(), kMaxDevices, &n) ||
        n == 0) {
      *error = "--devices needs a number of devices, 1 ... 64";
      return false;
    }
    *devices = static_cast<int>(n);
    words->erase(words->begin() + static_cast<long>(i), words->begin() + static_cast<long>(i) + 2);
    --i;
  }
  return true;
}

// host:port with the port moved on by k; port 0 (any free port) stays.
bool ShiftEndpoint(const std::string& endpoint, int k, std::string* out) {
  size_t colon = endpoint.rfind(':');
  uint64_t port = 0;
  if (colon == std::string::npos ||
      !cli::ParseUnsigned(endpoint.c_str() + colon + 1, 65535, &port)) {
    return false;
  }
  if (port != 0) port += static_cast<uint64_t>(k);
  if (port > 65535) return false;
  *out = endpoint.substr(0, colon + 1) + std::to_string(port);
  return true;
}

// Device k's bench: its own endpoints, state file, meter and identity; the
// test server stays with device 0.
bool DeviceOptionsFor(const qxsim::BenchOptions& first, int k, qxsim::BenchOptions* out,
                      std::string* error) {
  *out = first;
  if (!ShiftEndpoint(first.usbEndpoint, k, &out->usbEndpoint) ||
      !ShiftEndpoint(first.ethEndpoint, k, &out->ethEndpoint)) {
    *error = "no room for device " + std::to_string(k) + "'s endpoints";
    return false;
  }
  std::string suffix = "." + std::to_string(k);
  if (!first.statePath.empty()) out->statePath += suffix;
  if (!first.meter.linkPath.empty()) out->meter.linkPath += suffix;
  out->meter.seed += static_cast<uint32_t>(k);
  // Given identities stay distinct, as on a real line.
  out->device.serialNumber += static_cast<uint32_t>(k);
  out->device.mac += static_cast<uint64_t>(k);
  out->withTestServer = false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  qxsim::BenchOptions options;
  qxsim::DeviceCommandLine seen;
  std::string error;
  // The option parsers read the two-word form only.
  std::vector<std::string> words = cli::SplitValues(argc, argv);
  int devices = 1;
  if (!TakeDevices(&words, &devices, &error)) {
    std::fprintf(stderr, "qxsim: %s (see qxsim --help)\n", error.c_str());
    return cli::kExitUsage;
  }
  std::vector<char*> split;
  for (std::string& w : words) split.push_back(&w[0]);
  split.push_back(nullptr);
  int parsed = qxsim::ParseBenchCommandLine(static_cast<int>(words.size()), split.data(), &options,
                                            &seen, &error);
  if (parsed == 1) {
    PrintUsage(stdout);
    return cli::kExitOk;
  }
  if (parsed == 2) {
    std::printf("qxsim (QXTest) %s\n", cli::kVersion);
    return cli::kExitOk;
  }
  if (parsed < 0) {
    std::fprintf(stderr, "qxsim: %s (see qxsim --help)\n", error.c_str());
    return cli::kExitUsage;
  }
  if (seen.identityGiven && !options.statePath.empty() &&
      platform::FileExists(options.statePath.c_str())) {
    std::fprintf(stderr, "qxsim: %s holds the device's identity; identity options ignored\n",
                 options.statePath.c_str());
  }

  std::vector<qxsim::BenchOptions> perDevice(static_cast<size_t>(devices), options);
  for (int k = 1; k < devices; ++k) {
    if (!DeviceOptionsFor(options, k, &perDevice[static_cast<size_t>(k)], &error)) {
      std::fprintf(stderr, "qxsim: %s (see qxsim --help)\n", error.c_str());
      return cli::kExitUsage;
    }
  }

  platform::BlockStopSignals();
  std::vector<std::unique_ptr<qxsim::Bench>> benches;
  for (const qxsim::BenchOptions& o : perDevice) {
    benches.push_back(std::make_unique<qxsim::Bench>(o));
    if (!benches.back()->Start(&error)) {
      std::fprintf(stderr, "qxsim: device %zu: %s\n", benches.size() - 1, error.c_str());
      return 1;
    }
  }
  // Device 0 as a single bench prints it; the test server last, once all listen.
  for (size_t k = 0; k < benches.size(); ++k) {
    qxsim::Bench& bench = *benches[k];
    std::string prefix = k == 0 ? "" : "device " + std::to_string(k) + " ";
    std::printf("%susb endpoint %s\n", prefix.c_str(), bench.usbEndpoint().c_str());
    std::printf("%seth endpoint %s\n", prefix.c_str(), bench.ethEndpoint().c_str());
    std::printf("%smeter %s\n", prefix.c_str(), bench.meter().path().c_str());
  }
  std::printf("test server %s\n", benches[0]->testServer().endpoint().c_str());
  std::fflush(stdout);

  platform::WaitForStopSignal();
  int status = 0;
  for (std::unique_ptr<qxsim::Bench>& bench : benches) {
    if (!bench->Stop(&error)) {
      std::fprintf(stderr, "qxsim: %s\n", error.c_str());
      status = 1;
    }
  }
  return status;
}
