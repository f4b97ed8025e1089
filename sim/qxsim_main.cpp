// qxsim: the virtual bench's Z5 on its USB and Ethernet endpoints, with its
// test jig and clock. Prints every endpoint it serves, then serves until
// SIGINT or SIGTERM, and saves its state file on the way out.
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "sim/bench.h"
#include "sim/dio_registers.h"
#include "sim/identity_registers.h"
#include "sim/meter.h"
#include "sim/sim_options.h"
#include "sim/test_server.h"

namespace {

void PrintUsage(FILE* out) {
  std::fprintf(out,
               "usage: qxsim [options]\n"
               "\n"
               "Serves a virtual Quenlox Z5 over Modbus TCP on its USB and Ethernet\n"
               "endpoints, both on one device state and one flash. Port 0 picks a free\n"
               "port; every endpoint served is printed on start-up. SIGINT or SIGTERM\n"
               "stops it (the state file is saved first).\n"
               "\n%s%s%s%s  --help                    this text\n",
               qxsim::DeviceUsage(), qxsim::IdentityUsage(), qxsim::MeterUsage(),
               qxsim::TestServerUsage());
}

int BadArguments(const std::string& error) {
  std::fprintf(stderr, "qxsim: %s\n(qxsim --help lists the options)\n", error.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  qxsim::BenchOptions options;
  options.usbEndpoint = qxsim::DefaultUsbEndpoint();
  options.ethEndpoint = qxsim::DefaultEthEndpoint();
  qxsim::DeviceCommandLine seen;
  qxsim::MeterOptions meterOptions;
  qxsim::TestServerOptions serverOptions;
  {
    std::string error;
    if (!qxsim::DefaultTestServerOptions(&serverOptions, &error)) return BadArguments(error);
  }
  for (int i = 1; i < argc;) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return 0;
    }
    std::string error;
    int used = qxsim::ParseDeviceOption(argc, argv, i, &options, &seen, &error);
    if (used == 0) {
      used = qxsim::ParseIdentityOption(argc, argv, i, &options.jig, &options.clock, &error);
    }
    if (used == 0) used = qxsim::ParseMeterOption(argc, argv, i, &meterOptions, &error);
    if (used == 0) used = qxsim::ParseTestServerOption(argc, argv, i, &serverOptions, &error);
    if (used < 0) return BadArguments(error);
    if (used == 0) return BadArguments("unknown option " + arg);
    i += used;
  }
  qxsim::ApplyLinkFaults(seen, &options);
  struct stat existing;
  if (seen.identityGiven && !options.statePath.empty() &&
      ::stat(options.statePath.c_str(), &existing) == 0) {
    std::fprintf(stderr, "qxsim: %s holds the device's identity; identity options ignored\n",
                 options.statePath.c_str());
  }

  // The signals go to sigwait below, never to a handler on some thread:
  // block them before any thread starts, so every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  qxsim::Bench bench(options);
  std::string error;
  if (!bench.Start(&error)) {
    std::fprintf(stderr, "qxsim: %s\n", error.c_str());
    return 1;
  }
  std::printf("usb endpoint %s\n", bench.usbEndpoint().c_str());
  std::printf("eth endpoint %s\n", bench.ethEndpoint().c_str());
  // The bench meter measures the jig's source; line 5 (the attenuator) joins
  // once the device drives its digital lines.
  qxsim::BenchMeter meter(meterOptions, qxsim::DeviceMeterInput(bench.device(), [&bench] {
                            // Line 5 low switches the jig's attenuator in.
                            return qxsim::LineDrivenLow(bench.device(), 5);
                          }));
  if (!meter.Start(&error)) {
    std::fprintf(stderr, "qxsim: %s\n", error.c_str());
    bench.Stop();
    return 1;
  }
  std::printf("meter %s\n", meter.path().c_str());
  qxsim::TestServer testServer(serverOptions);
  if (!testServer.Start(&error)) {
    std::fprintf(stderr, "qxsim: %s\n", error.c_str());
    meter.Stop();
    bench.Stop();
    return 1;
  }
  std::printf("test server %s\n", testServer.endpoint().c_str());
  std::fflush(stdout);

  int received = 0;
  sigwait(&stopSignals, &received);
  testServer.Stop();
  meter.Stop();
  if (!bench.Stop(&error)) {
    std::fprintf(stderr, "qxsim: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
