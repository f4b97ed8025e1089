#include "upgrade/run_upgrade.h"

#include <cstring>

#include "harness/text.h"
#include "platform/console.h"
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

// Where the console window goes once the upgrade is over.
constexpr int kWindowX = 0;
constexpr int kWindowY = 0;
constexpr int kWindowWidth = 800;
constexpr int kWindowHeight = 400;

}  // namespace

int RunUpgrade(int handle, const char* path) {
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
    // A repeated step rewrites its own line.
    if (previous == run.state) ConsoleText("\r");
    UpgradeState step = run.state;
    const char* name = step < kUpgradeStateCount ? UpgradeStepNames[step] : "";
    ConsoleText(name);
    previous = step;
    int32_t result = UpgradeStep(handle, file, &done, &progress, &total);
    if (std::strchr(name, ':') != nullptr) {
      TextFormat(line, sizeof line, "%i / %i", progress, total);
      ConsoleText(line);
      if (progress == total) ConsoleText("\r\n");
    }
    if (result != 0) {
      TextFormat(line, sizeof line, "Error: %i", static_cast<int>(result));
      ConsoleText(line);
      break;
    }
  }
  // The run's pointers go with the buffer.
  file.Release();
  run.body = nullptr;
  run.header = nullptr;
  return 0;
}

int QxtestEntry() {
  int handle = 0;
  // Not checked here: a missing device is the first step's error.
  QXM_Open("z5 device type", "usb", "any identifier", &handle);
  ConsoleText("Enter full path to upgrade file:\r\n");
  char path[kUpgradePathCapacity] = {};
  platform::ConsoleReadLine(path, sizeof path);
  RunUpgrade(handle, path);
  ConsoleText("Press any key");
  platform::ConsoleReadKey();
  platform::PlaceConsoleWindow(kWindowX, kWindowY, kWindowWidth, kWindowHeight);
  return 0;
}
