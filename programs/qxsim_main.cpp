// qxsim: the virtual bench: the Z5 on its USB and Ethernet endpoints with its
// jig and clock, the bench meter and the test server. Prints every endpoint
// it serves, then serves until SIGINT or SIGTERM, and saves its state file on
// the way out.
#include <cstdio>
#include <string>

#include "base/cli.h"
#include "platform/file.h"
#include "platform/host/signals.h"
#include "sim/line.h"
#include "sim/options.h"

namespace {

// Every endpoint served: device 0 as a single bench prints it; the test
// server last, once all listen.
void PrintEndpoints(qxsim::Line& line) {
  for (size_t k = 0; k < line.size(); ++k) {
    qxsim::Bench& bench = line.bench(k);
    std::string prefix = k == 0 ? "" : "device " + std::to_string(k) + " ";
    std::printf("%susb endpoint %s\n", prefix.c_str(), bench.usbEndpoint().c_str());
    std::printf("%seth endpoint %s\n", prefix.c_str(), bench.ethEndpoint().c_str());
    std::printf("%smeter %s\n", prefix.c_str(), bench.meter().path().c_str());
  }
  std::printf("test server %s\n", line.bench(0).testServer().endpoint().c_str());
  std::fflush(stdout);
}

// The options are good for every device of the line.
bool CheckLine(const qxsim::BenchOptions& options, int devices, std::string* error) {
  for (int k = 1; k < devices; ++k) {
    qxsim::BenchOptions device;
    if (!qxsim::BenchOptionsForDevice(options, k, &device, error)) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  qxsim::BenchOptions options;
  qxsim::DeviceCommandLine seen;
  std::string error;
  if (!qxsim::DefaultBenchOptions(&options, &error)) return cli::UsageError("qxsim", error);
  int parsed = qxsim::ParseBenchCommandLine(argc, argv, &options, &seen);
  if (parsed != 0) return parsed > 0 ? cli::kExitOk : cli::kExitUsage;
  if (seen.identityGiven && !options.statePath.empty() &&
      platform::FileExists(options.statePath.c_str())) {
    std::fprintf(stderr, "qxsim: %s holds the device's identity; identity options ignored\n",
                 options.statePath.c_str());
  }
  if (!CheckLine(options, seen.devices, &error)) return cli::UsageError("qxsim", error);

  platform::BlockStopSignals();
  qxsim::Line line;
  if (!line.Start(options, seen.devices, &error)) {
    std::fprintf(stderr, "qxsim: %s\n", error.c_str());
    return cli::kExitFailed;
  }
  PrintEndpoints(line);
  platform::WaitForStopSignal();
  if (!line.Stop(&error)) {
    std::fprintf(stderr, "qxsim: %s\n", error.c_str());
    return cli::kExitFailed;
  }
  return cli::kExitOk;
}
