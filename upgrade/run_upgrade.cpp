#include "upgrade/run_upgrade.h"

#include <cstring>

#include "harness/text.h"
#include "platform/console.h"
#include "platform/stop_request.h"
#include "qxm/qxm.h"
#include "upgrade/firmware_file.h"
#include "upgrade/upgrade_console.h"

const char* const UpgradeStepNames[kUpgradeStateCount] = {
    "Checking Quenlox Device\r\n",
    "Checking Upgrade File\r\n",
    "Erasing: ",
    "Erasing Info Page\r\n",
    "Writing: ",
    "Writing Info Page\r\n",
    "Restarting\r\n",
    "Waiting: ",
    "Final Check\r\n",
};

namespace {

// The result of an upgrade that ended before any step said otherwise.
constexpr int32_t kUpgradeNotCompleted = -1;

// Where the console window goes once the upgrade is over.
constexpr int kWindowX = 0;
constexpr int kWindowY = 0;
constexpr int kWindowWidth = 800;
constexpr int kWindowHeight = 400;

// What an upgrade stopped on request before step has left on the device,
// and how to go on.
const char* InterruptedText(UpgradeState step) {
  if (step <= CheckingFile) {
    return "\r\nUpgrade interrupted before the device's flash was changed. To upgrade the "
           "device, run qxtest again.\r\n";
  }
  if (step <= WritingInfoPage) {
    return "\r\nUpgrade interrupted: the firmware on the device is incomplete. To restart the "
           "upgrade, run qxtest again with the same upgrade file.\r\n";
  }
  return "\r\nUpgrade interrupted after the firmware was written. To finish the upgrade, run "
         "qxtest again with the same upgrade file.\r\n";
}

}  // namespace

int RunUpgrade(int handle, const char* path) { return RunUpgrade(handle, path, nullptr); }

int RunUpgrade(int handle, const char* path, int32_t* result) {
  if (result != nullptr) *result = kUpgradeNotCompleted;
  ResetUpgradeRun();
  UpgradeRun& run = CurrentUpgradeRun();
  FirmwareFile file(path);
  int done = 0;
  int progress = 0;
  int total = 0;
  UpgradeState previous = run.state;
  ConsoleText("Beginning upgrade process\r\n");
  char line[kTextCapacity];
  // Every step moves the sequence on or fails, and the wait is bounded by
  // the clock, so the loop ends.
  while (done == 0) {
    // A stop request is taken between steps: the page of the step before
    // has been written whole.
    if (platform::StopRequested() != platform::kStopNone) {
      ConsoleText(InterruptedText(run.state));
      if (result != nullptr) *result = kUpgradeInterrupted;
      break;
    }
    // A repeated step rewrites its own line.
    if (previous == run.state) ConsoleText("\r");
    UpgradeState step = run.state;
    const char* name = step < kUpgradeStateCount ? UpgradeStepNames[step] : "";
    ConsoleText(name);
    previous = step;
    int32_t code = UpgradeStep(handle, file, &done, &progress, &total);
    if (result != nullptr) *result = code;
    if (std::strchr(name, ':') != nullptr) {
      TextFormat(line, sizeof line, "%i / %i", progress, total);
      ConsoleText(line);
      if (progress == total) ConsoleText("\r\n");
    }
    if (code != 0) {
      TextFormat(line, sizeof line, "Error: %i", static_cast<int>(code));
      ConsoleText(line);
      // The step met a stop request that came while it ran.
      if (platform::StopRequested() != platform::kStopNone) {
        ConsoleText(InterruptedText(step));
        if (result != nullptr) *result = kUpgradeInterrupted;
      }
      break;
    }
  }
  // The run's pointers go with the buffer.
  file.Release();
  run.body = nullptr;
  run.header = nullptr;
  return 0;
}

int QxtestEntry() { return QxtestEntry(QxtestOptions()); }

int QxtestEntry(const QxtestOptions& options) {
  int handle = 0;
  // Not checked here: a missing device is the first step's error.
  QXM_Open("z5 device type", "usb", "any identifier", &handle);
  char path[kUpgradePathCapacity] = {};
  const char* file = options.path;
  if (file == nullptr) {
    ConsoleText("Enter full path to upgrade file:\r\n");
    platform::ConsoleReadLine(path, sizeof path);
    file = path;
  }
  int32_t result = kUpgradeNotCompleted;
  // An interrupt or a terminate request stops the upgrade between steps,
  // never inside a page.
  platform::CatchStopRequests();
  RunUpgrade(handle, file, &result);
  platform::ReleaseStopRequests();
  // Stopped on request: no key to wait for.
  if (result == kUpgradeInterrupted) return 1;
  if (!options.noWait) {
    ConsoleText("Press any key");
    platform::ConsoleReadKey();
  } else if (result != 0) {
    ConsoleText("\r\n");  // "Error: %i" has no line end of its own
  }
  platform::PlaceConsoleWindow(kWindowX, kWindowY, kWindowWidth, kWindowHeight);
  return result == 0 ? 0 : 1;
}
