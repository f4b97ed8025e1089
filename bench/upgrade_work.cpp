// The work of a firmware upgrade of all 120 pages, through qxm to qxsim's
// device server on loopback: every step of the upgrade sequencer is timed
// except the fixed wait for the device's restart, which is skipped once the
// bench's (shortened) restart is over. Prints the median work over the runs,
// the requests each run made and the time per request.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/cli.h"
#include "bench/placement.h"
#include "device/flash_map.h"
#include "fwpack/firmware_pack.h"
#include "qxm/qxm.h"
#include "sim/bench.h"
#include "upgrade/firmware_file.h"
#include "upgrade/upgrade_sequencer.h"

namespace {

constexpr char kUsageHead[] =
    "usage: upgrade_work [--runs N] [--cpus split|same|any]\n"
    "\n"
    "Upgrades qxsim's device with a generated 120-page image N times and\n"
    "prints the median work of a run (every step but the restart's fixed\n"
    "wait), its requests and the time per request.\n"
    "\n";

using SteadyClock = std::chrono::steady_clock;

// Until the restart has taken the device away and it is back (untimed).
bool AwaitRestart(qxsim::Bench& bench) {
  auto giveUp = SteadyClock::now() + std::chrono::seconds(5);
  while (!bench.server().away() && SteadyClock::now() < giveUp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  while (bench.server().away() && SteadyClock::now() < giveUp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return !bench.server().away();
}

// One upgrade; the seconds of work, or a negative value when it failed.
double TimedUpgrade(qxsim::Bench& bench, const std::string& path) {
  int handle = 0;
  if (QXM_Open("z5 device type", "usb", "any identifier", &handle) != 0) return -1;
  ResetUpgradeRun();
  FirmwareFile file(path.c_str());
  std::chrono::duration<double> work(0);
  int done = 0;
  while (done == 0) {
    if (CurrentUpgradeRun().state == Waiting) {
      if (!AwaitRestart(bench)) return -1;
      CurrentUpgradeRun().state = FinalCheck;
      continue;
    }
    int progress = 0;
    int total = 0;
    auto start = SteadyClock::now();
    int32_t code = UpgradeStep(handle, file, &done, &progress, &total);
    work += SteadyClock::now() - start;
    if (code != 0) {
      std::fprintf(stderr, "upgrade_work: step %u failed: %d\n",
                   static_cast<unsigned>(CurrentUpgradeRun().state), code);
      return -1;
    }
  }
  // The final check opened a handle of its own and keeps it; the library's
  // handles are few, so every one is closed before the next run.
  for (int h = 1; h <= 16; ++h) QXM_Close(h);
  return work.count();
}

// The file of a generated 120-page upgrade; "" when it cannot be written.
std::string WriteImage() {
  std::string path =
      (std::filesystem::temp_directory_path() /
       ("qx_upgrade_work_" + std::to_string(SteadyClock::now().time_since_epoch().count())))
          .string();
  PackedImage image;
  image.fwVersionBits = VersionBits(1.25f);
  image.body = GeneratedBody(kFirmwarePages * kFlashPageSize, 7);
  std::string error;
  if (WriteFileBytes(path, PackFirmware({image}, PackOptions()), &error)) return path;
  std::fprintf(stderr, "upgrade_work: %s\n", error.c_str());
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t runs = 5;
  std::string cpus = "split";
  cli::OptionTable table(bench::kHelpColumn);
  table.Option("--runs N", "upgrades to time (default 5)",
               cli::Whole(&runs, 1000, cli::IsNot("a count"), 1));
  bench::AddCpusOption(&table, &cpus);
  int status = table.Parse("upgrade_work", argc, argv, kUsageHead + table.Help());
  if (status >= 0) return status;
  if (!bench::PlaceServers(cpus, "upgrade_work")) return cli::kExitFailed;

  const std::string path = WriteImage();
  if (path.empty()) return cli::kExitFailed;
  std::string error;
  qxsim::Bench bench;
  if (!bench.Start(&error)) {
    std::fprintf(stderr, "upgrade_work: %s\n", error.c_str());
    std::filesystem::remove(path);
    return cli::kExitFailed;
  }
  bench.server().SetRestartMs(20);
  setenv("QXM_USB_ENDPOINT", bench.usbEndpoint().c_str(), 1);
  if (!bench::PlaceClient(cpus, "upgrade_work")) return cli::kExitFailed;

  std::vector<double> seconds;
  uint64_t requests = 0;
  for (uint64_t r = 0; r < runs; ++r) {
    uint64_t before = bench.server().requestCount();
    double s = TimedUpgrade(bench, path);
    if (s < 0) {
      std::fprintf(stderr, "upgrade_work: run %llu failed\n", static_cast<unsigned long long>(r));
      std::filesystem::remove(path);
      return cli::kExitFailed;
    }
    seconds.push_back(s);
    requests = bench.server().requestCount() - before;
  }
  std::filesystem::remove(path);
  double median = bench::Median(seconds);
  std::printf("upgrade of %u pages, median of %llu runs, loopback, cpus %s:\n", kFirmwarePages,
              static_cast<unsigned long long>(runs), cpus.c_str());
  std::printf("  work %.3f s (target <= 0.5 s), %llu requests, %.1f us each\n", median,
              static_cast<unsigned long long>(requests),
              median * 1e6 / static_cast<double>(requests));
  return cli::kExitOk;
}
