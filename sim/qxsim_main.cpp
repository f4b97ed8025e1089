// qxsim: the virtual bench: the Z5 on its USB and Ethernet endpoints with its
// jig and clock, the bench meter and the test server. Prints every endpoint
// it serves, then serves until SIGINT or SIGTERM, and saves its state file on
// the way out.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/signals.h"
#include "sim/bench.h"
#include "sim/options.h"
#include "tools/cli.h"

namespace {

void PrintUsage(FILE* out) {
  std::fprintf(out,
               "usage: qxsim [options]\n"
               "\n"
               "Serves a virtual Quenlox Z5 over Modbus TCP on its USB and Ethernet\n"
               "endpoints, both on one device state and one flash, with its test jig, the\n"
               "bench meter and the test server. Port 0 picks a free port; every endpoint\n"
               "served is printed on start-up. SIGINT or SIGTERM stops it (the state file\n"
               "is saved first).\n"
               "\n%s  --help, --version         this text, the version\n"
               "\nOptions take their value as --opt VALUE or --opt=VALUE.\n",
               qxsim::BenchUsage().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  qxsim::BenchOptions options;
  qxsim::DeviceCommandLine seen;
  std::string error;
  // The option parsers read the two-word form only.
  std::vector<std::string> words = cli::SplitValues(argc, argv);
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

  platform::BlockStopSignals();
  qxsim::Bench bench(options);
  if (!bench.Start(&error)) {
    std::fprintf(stderr, "qxsim: %s\n", error.c_str());
    return 1;
  }
  std::printf("usb endpoint %s\n", bench.usbEndpoint().c_str());
  std::printf("eth endpoint %s\n", bench.ethEndpoint().c_str());
  std::printf("meter %s\n", bench.meter().path().c_str());
  std::printf("test server %s\n", bench.testServer().endpoint().c_str());
  std::fflush(stdout);

  platform::WaitForStopSignal();
  if (!bench.Stop(&error)) {
    std::fprintf(stderr, "qxsim: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
