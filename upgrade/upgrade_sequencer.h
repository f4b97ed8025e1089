// The firmware upgrade as a state machine that does one small piece of work
// per call (one flash page, one 100 ms slice of the wait), so that the
// console loop can rewrite its progress line between calls: read the
// device's versions, check the file, erase the firmware area and the info
// page, write image 0 page by page and its info page, restart the device,
// wait for it, reopen it and read the versions again.
#pragma once

#include <cstdint>
#include <limits>

#include "device/register_addresses.h"
#include "upgrade/firmware_file.h"

enum UpgradeState : uint32_t {
  CheckingDevice = 0,
  CheckingFile = 1,
  Erasing = 2,
  ErasingInfoPage = 3,
  Writing = 4,
  WritingInfoPage = 5,
  Restarting = 6,
  Waiting = 7,
  FinalCheck = 8,
};

constexpr uint32_t kUpgradeStateCount = 9;

// Written to kRegRestart to restart the device.
constexpr uint32_t kRestartValue = 0x6B2E41D7;

// A bootloader from this version on is back within the short wait.
constexpr double kQuickBootloaderVersion = 0.89;
constexpr int32_t kQuickRestartSeconds = 14;
constexpr int32_t kSlowRestartSeconds = 40;
constexpr uint32_t kWaitSliceMs = 100;

constexpr uint32_t kIntendedDeviceCode = 100017001;

// Results of CheckingFile besides the device-link codes are kUpgradeWrongDevice
// and the refusals after it (base/status_codes.h); each has its own console
// line. None of them reaches the flash.

constexpr float kUnreadVersion = std::numeric_limits<float>::quiet_NaN();

// The sequencer's state, one per process.
struct UpgradeRun {
  UpgradeState state = CheckingDevice;
  uint32_t erasedPages = 0;
  uint32_t writtenPages = 0;
  ImageInfo info;
  const uint8_t* body = nullptr;    // into the file's buffer, set by CheckingFile
  const uint8_t* header = nullptr;  // into the file's buffer, set by CheckingFile
  // Pages that hold the image; a partial last page counts (it is written
  // padded with 0xFF, so the device keeps the image's tail).
  uint32_t pageCount = 0;
  float bootloaderVersion = 0.0f;
  int32_t waitSeconds = 0;
  int64_t restartTime = 0;  // wall-clock seconds when the restart was sent
  // Monotonic milliseconds at the restart: a wall clock set back during the
  // wait cannot stretch it past waitSeconds + 1 seconds.
  uint64_t restartTick = 0;
  // For the upgrade's record: the versions read before and after (NaN until
  // read), whether the info page was written, and the milliseconds spent in
  // each step (0 for a step not reached).
  float firmwareBefore = kUnreadVersion;
  float bootloaderBefore = kUnreadVersion;
  float firmwareAfter = kUnreadVersion;
  float bootloaderAfter = kUnreadVersion;
  bool infoPageWritten = false;
  bool stepReached[kUpgradeStateCount] = {};
  uint64_t stepMs[kUpgradeStateCount] = {};
};

UpgradeRun& CurrentUpgradeRun();
// Back to the start: CheckingDevice, counters 0, and nothing kept of an
// earlier run's file (its pointers would point into a released buffer).
void ResetUpgradeRun();

// Performs the step that CurrentUpgradeRun().state names and returns 0 or the
// failing operation's code. done is set by the last step; progress and total
// are written by the counted steps (Erasing, Writing, Waiting) only.
// CheckingDevice, CheckingFile and FinalCheck keep their state when they
// fail; the other steps move on whether or not their device operation
// succeeded. FinalCheck closes handle and reads the versions over a new
// connection of its own, which it closes again.
int32_t UpgradeStep(int handle, FirmwareFile& file, int* done, int* progress, int* total);

// Whether image 0 (info, body, header as found in file) can be written:
// 0, or one of the refusals above (not the device check). *pageCount
// receives the pages to write.
int32_t CheckImageFits(const FirmwareFile& file, const ImageInfo& info, const uint8_t* body,
                       const uint8_t* header, uint32_t* pageCount);
// The console line of a refusal of CheckImageFits ("" for any other code).
const char* ImageRefusalLine(int32_t code);

// The whole sequence without progress, wait or final check: erase, write the
// pages and the info page, restart. Returns 0, the file's own code when it
// failed to load or decode, a refusal of CheckImageFits, or the first
// failing phase's code. There is no device-code check.
int32_t FlashImage(int handle, const char* path);
// Erases pageCount pages of the firmware area, then the info page.
int32_t EraseImageArea(int handle, uint32_t pageCount);
// Writes pageCount pages of body (bodyBytes long) into the firmware area; a
// partial last page is padded with 0xFF. Nothing is read past bodyBytes.
int32_t WriteImagePages(int handle, uint32_t pageCount, const uint8_t* body, uint32_t bodyBytes);
// Writes the 4096 bytes from image 0's header into the info page.
int32_t WriteInfoPage(int handle, const uint8_t* header);
int32_t RestartDevice(int handle);
