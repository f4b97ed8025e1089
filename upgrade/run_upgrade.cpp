#include "upgrade/run_upgrade.h"

#include <cstring>

#include "base/text.h"
#include "device/link_errors.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/status.h"
#include "platform/stop_request.h"
#include "qxm/qxm.h"
#include "qxm/qxm_errors.h"
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

void UpgradeFailureLine(int32_t code, int32_t openCode, char* line, size_t capacity) {
  line[0] = '\0';
  if (code >= kUpgradeWrongDevice && code <= kUpgradeImageTooLarge) return;
  if (code == QXM_ERR_INVALID_HANDLE && openCode != 0) {
    TextFormat(line, capacity, "    No Quenlox found on USB (%i: %s)\r\n",
               static_cast<int>(openCode), LinkErrorToString(openCode));
  } else if (DeviceExceptionNumber(code) != 0) {
    TextFormat(line, capacity, "    Device error: device exception %i\r\n",
               DeviceExceptionNumber(code));
  } else {
    TextFormat(line, capacity, "    Device error: %s\r\n", LinkErrorToString(code));
  }
}

void TrimTypedPath(char* path) {
  size_t length = std::strlen(path);
  if (length > 0 && path[length - 1] == '\n') path[--length] = '\0';
  if (length > 0 && path[length - 1] == '\r') path[--length] = '\0';
  if (length >= 2 && (path[0] == '"' || path[0] == '\'') && path[length - 1] == path[0]) {
    std::memmove(path, path + 1, length - 2);
    path[length - 2] = '\0';
  }
}

bool ReadTypedPath(char* path, size_t capacity) {
  if (capacity == 0) return false;
  path[0] = '\0';
  platform::ConsoleReadLine(path, capacity);
  size_t length = std::strlen(path);
  bool fits = length + 1 < capacity || (length > 0 && path[length - 1] == '\n');
  // A full buffer without the line end: the line may still end right here.
  char rest[kTextCapacity];
  while (!fits) {
    if (platform::ConsoleReadLine(rest, sizeof rest) != platform::kOk || rest[0] == '\0') break;
    size_t n = std::strlen(rest);
    bool lineEnd = rest[n - 1] == '\n';
    if (!(lineEnd && (n == 1 || (n == 2 && rest[0] == '\r')))) {
      // Too long: the rest of the line goes, so that it answers nothing later.
      while (!lineEnd && platform::ConsoleReadLine(rest, sizeof rest) == platform::kOk &&
             rest[0] != '\0') {
        lineEnd = rest[std::strlen(rest) - 1] == '\n';
      }
      path[0] = '\0';
      return false;
    }
    fits = true;
  }
  TrimTypedPath(path);
  return true;
}

int RunUpgrade(int handle, const char* path, int32_t* result, int32_t openCode) {
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
    const uint64_t stepStart = platform::TickMs();
    int32_t code = UpgradeStep(handle, file, &done, &progress, &total);
    if (step < kUpgradeStateCount) {
      run.stepReached[step] = true;
      run.stepMs[step] += platform::TickMs() - stepStart;
    }
    if (result != nullptr) *result = code;
    if (std::strchr(name, ':') != nullptr) {
      TextFormat(line, sizeof line, "%i / %i", progress, total);
      ConsoleText(line);
      if (progress == total) ConsoleText("\r\n");
    }
    if (code != 0) {
      // A counter's line is still open.
      if (std::strchr(name, ':') != nullptr && progress != total) ConsoleText("\r\n");
      UpgradeFailureLine(code, openCode, line, sizeof line);
      ConsoleText(line);
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
  // A missing device is the first step's error; the open's code says why.
  int32_t opened = QXM_Open("z5 device type", "usb", "any identifier", &handle);
  char path[kUpgradePathCapacity] = {};
  const char* file = options.path;
  int32_t result = kUpgradeNotCompleted;
  bool pathFits = true;
  if (file == nullptr) {
    ConsoleText("Enter full path to upgrade file:\r\n");
    pathFits = ReadTypedPath(path, sizeof path);
    file = path;
  }
  const int64_t startMs = platform::WallMs();
  if (pathFits) {
    // An interrupt or a terminate request stops the upgrade between steps,
    // never inside a page.
    platform::CatchStopRequests();
    RunUpgrade(handle, file, &result, opened);
    platform::ReleaseStopRequests();
  } else {
    char line[kTextCapacity];
    TextFormat(line, sizeof line,
               "The path is longer than %i characters: refused, nothing was written\r\n",
               static_cast<int>(kUpgradePathCapacity - 1));
    ConsoleText(line);
  }
  // Stopped on request: no key to wait for.
  if (options.outcome != nullptr) {
    UpgradeOutcome& out = *options.outcome;
    out.ran = pathFits;
    out.path = file;
    out.result = result;
    out.startMs = startMs;
    out.endMs = platform::WallMs();
    out.run = CurrentUpgradeRun();
    out.run.body = nullptr;
    out.run.header = nullptr;
  }
  if (result == kUpgradeInterrupted) return 1;
  if (!options.noWait) {
    ConsoleText("Press any key");
    platform::ConsoleReadKey();
  } else if (pathFits && result != 0) {
    ConsoleText("\r\n");  // "Error: %i" has no line end of its own
  }
  platform::PlaceConsoleWindow(kWindowX, kWindowY, kWindowWidth, kWindowHeight);
  return result == 0 ? 0 : 1;
}
