// qxsim: the virtual bench: the Z5 on its USB and Ethernet endpoints with its
// jig and clock, the bench meter and the test server. Prints every endpoint
// it serves, then serves until SIGINT or SIGTERM, and saves its state file on
// the way out.
#include <cstdio>
#include <string>
#include <vector>

#include "base/cli.h"
#include "base/version.h"
#include "platform/file.h"
#include "platform/signals.h"
#include "sim/line.h"
#include "sim/options.h"

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

// Takes "--devices N" out of words; false with *error for a bad N.
bool TakeDevices(std::vector<std::string>* words, int* devices, std::string* error) {
  for (size_t i = 1; i < words->size(); ++i) {
    if ((*words)[i] != "--devices") continue;
    uint64_t n = 0;
    if (i + 1 >= words->size() ||
        !cli::ParseUnsigned((*words)[i + 1].c_str(), qxsim::kMaxLineDevices, &n) || n == 0) {
      *error = "--devices needs a number of devices, 1 ... 64";
      return false;
    }
    *devices = static_cast<int>(n);
    words->erase(words->begin() + static_cast<long>(i), words->begin() + static_cast<long>(i) + 2);
    --i;
  }
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
    std::printf("qxsim (QXTest) %s\n", StationVersionText());
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

  for (int k = 1; k < devices; ++k) {
    qxsim::BenchOptions device;
    if (!qxsim::BenchOptionsForDevice(options, k, &device, &error)) {
      std::fprintf(stderr, "qxsim: %s (see qxsim --help)\n", error.c_str());
      return cli::kExitUsage;
    }
  }

  platform::BlockStopSignals();
  qxsim::Line line;
  if (!line.Start(options, devices, &error)) {
    std::fprintf(stderr, "qxsim: %s\n", error.c_str());
    return cli::kExitFailed;
  }
  // Device 0 as a single bench prints it; the test server last, once all listen.
  for (size_t k = 0; k < line.size(); ++k) {
    qxsim::Bench& bench = line.bench(k);
    std::string prefix = k == 0 ? "" : "device " + std::to_string(k) + " ";
    std::printf("%susb endpoint %s\n", prefix.c_str(), bench.usbEndpoint().c_str());
    std::printf("%seth endpoint %s\n", prefix.c_str(), bench.ethEndpoint().c_str());
    std::printf("%smeter %s\n", prefix.c_str(), bench.meter().path().c_str());
  }
  std::printf("test server %s\n", line.bench(0).testServer().endpoint().c_str());
  std::fflush(stdout);

  platform::WaitForStopSignal();
  if (!line.Stop(&error)) {
    std::fprintf(stderr, "qxsim: %s\n", error.c_str());
    return cli::kExitFailed;
  }
  return cli::kExitOk;
}
