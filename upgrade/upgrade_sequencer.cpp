#include "upgrade/upgrade_sequencer.h"

#include <cstring>

#include "base/text.h"
#include "device/feedback_exchange.h"
#include "device/feedback_frame.h"
#include "device/flash.h"
#include "device/flash_map.h"
#include "device/registers.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "qxm/qxm.h"
#include "upgrade/upgrade_console.h"

namespace {

UpgradeRun g_run;

// Reads the firmware and bootloader versions in one exchange and prints them.
int32_t ReadVersions(int handle, float* bootloader, float* firmware) {
  FeedbackFrame frames[2] = {
      FeedbackFrame(FrameDirection::Read, kRegFirmwareVersion, 2, FrameDataType::F32),
      FeedbackFrame(FrameDirection::Read, kRegBootloaderVersion, 2, FrameDataType::F32),
  };
  int32_t code = FeedbackExchange(handle, 2, frames);
  if (code != 0) return code;
  char line[kTextCapacity];
  TextFormat(line, sizeof line, "    Current FW: %04.4f, BL: %04.4f\r\n",
             static_cast<double>(frames[0].F32(0)), static_cast<double>(frames[1].F32(0)));
  ConsoleText(line);
  *bootloader = frames[1].F32(0);
  *firmware = frames[0].F32(0);
  return 0;
}

// Page index of the image: a whole page of the body, or its tail padded
// with 0xFF (erased flash), so that no byte past the body is read.
int32_t WriteImagePage(int handle, const uint8_t* body, uint32_t bodyBytes, uint32_t index) {
  uint64_t offset = uint64_t{index} * kFlashPageSize;
  uint32_t address = kFirmwareBase + index * kFlashPageSize;
  if (offset >= bodyBytes) return kUpgradeImageOutsideFile;
  uint64_t left = bodyBytes - offset;
  if (left >= kFlashPageSize) {
    return WriteFlash(handle, kFirmwareKey, address, kFlashPageSize, body + offset);
  }
  uint8_t page[kFlashPageSize];
  std::memset(page, 0xFF, sizeof page);
  std::memcpy(page, body + offset, static_cast<size_t>(left));
  return WriteFlash(handle, kFirmwareKey, address, kFlashPageSize, page);
}

int32_t StepCheckingDevice(int handle, UpgradeRun& run) {
  float bootloader = 0.0f;
  int32_t code = ReadVersions(handle, &bootloader, &run.firmwareBefore);
  if (code != 0) return code;
  run.bootloaderBefore = bootloader;
  run.bootloaderVersion = bootloader;
  run.waitSeconds = static_cast<double>(run.bootloaderVersion) >= kQuickBootloaderVersion
                        ? kQuickRestartSeconds
                        : kSlowRestartSeconds;
  run.state = CheckingFile;
  return 0;
}

int32_t StepCheckingFile(FirmwareFile& file, UpgradeRun& run) {
  // A failing call leaves its output as it was: a file that did not load
  // keeps the zero-filled info, whose device code then refuses it.
  file.GetImageInfo(0, &run.info);
  file.GetImageData(0, &run.body);
  file.GetImageHeader(0, &run.header);
  char line[kTextCapacity];
  TextFormat(line, sizeof line, "    Intended Device:    %i\r\n",
             static_cast<int>(run.info.intendedDevice));
  ConsoleText(line);
  TextFormat(line, sizeof line, "    Bytes in Image:     %i\r\n",
             static_cast<int>(run.info.imageBytes));
  ConsoleText(line);
  TextFormat(line, sizeof line, "    FW Version in file: %04.4f\r\n",
             static_cast<double>(run.info.fwVersion));
  ConsoleText(line);
  int32_t code = kUpgradeWrongDevice;
  if (run.info.intendedDevice == kIntendedDeviceCode) {
    code = CheckImageFits(file, run.info, run.body, run.header, &run.pageCount);
    if (code != 0) ConsoleText(ImageRefusalLine(code));
  }
  if (code != 0) {
    // The code alone cannot tell a missing file from a foreign image.
    if (file.error() != kFileNoError) {
      TextFormat(line, sizeof line, "    File error: %s\r\n", file.GetErrorText());
      ConsoleText(line);
    } else if (code == kUpgradeWrongDevice) {
      TextFormat(line, sizeof line, "    Image is for another device: this one takes %u\r\n",
                 static_cast<unsigned>(kIntendedDeviceCode));
      ConsoleText(line);
    }
    return code;
  }
  run.state = Erasing;
  return 0;
}

int32_t StepErasing(int handle, UpgradeRun& run, int* progress, int* total) {
  int32_t code =
      EraseFlashPage(handle, kFirmwareKey, kFirmwareBase + run.erasedPages * kFlashPageSize);
  ++run.erasedPages;
  if (run.erasedPages >= kFirmwarePages) run.state = ErasingInfoPage;
  *progress = static_cast<int>(run.erasedPages);
  *total = static_cast<int>(kFirmwarePages);
  return code;
}

int32_t StepWriting(int handle, UpgradeRun& run, int* progress, int* total) {
  int32_t code = WriteImagePage(handle, run.body, run.info.imageBytes, run.writtenPages);
  ++run.writtenPages;
  if (run.writtenPages >= run.pageCount) run.state = WritingInfoPage;
  *progress = static_cast<int>(run.writtenPages);
  *total = static_cast<int>(run.pageCount);
  return code;
}

int32_t StepWaiting(UpgradeRun& run, int* progress, int* total) {
  int64_t elapsed = platform::WallSeconds() - run.restartTime;
  uint64_t bound = (static_cast<uint64_t>(run.waitSeconds) + 1) * 1000u;
  if (elapsed >= run.waitSeconds || platform::TickMs() - run.restartTick >= bound) {
    run.state = FinalCheck;
  } else {
    platform::SleepMs(kWaitSliceMs);
  }
  *progress = static_cast<int>(elapsed);
  *total = run.waitSeconds;
  return 0;
}

int32_t StepFinalCheck(int handle, UpgradeRun& run, int* done) {
  QXM_Close(handle);
  // A device not back yet is reported by the open's own code, not by the
  // read on a handle that does not exist.
  int reopened = 0;
  int32_t code = QXM_Open("z5 device type", "usb", "any identifier", &reopened);
  if (code != 0) return code;
  code = ReadVersions(reopened, &run.bootloaderAfter, &run.firmwareAfter);
  // The caller holds only the handle closed above: the new connection is this
  // step's own, and nothing would close it later.
  QXM_Close(reopened);
  if (code != 0) return code;
  *done = 1;
  return 0;
}

}  // namespace

UpgradeRun& CurrentUpgradeRun() { return g_run; }

void ResetUpgradeRun() { g_run = UpgradeRun(); }

int32_t CheckImageFits(const FirmwareFile& file, const ImageInfo& info, const uint8_t* body,
                       const uint8_t* header, uint32_t* pageCount) {
  if (info.imageBytes < kFlashPageSize) return kUpgradeImageTooShort;
  uint32_t pages = info.imageBytes / kFlashPageSize + (info.imageBytes % kFlashPageSize != 0);
  if (pages > kFirmwarePages) return kUpgradeImageTooLarge;
  if (body == nullptr || header == nullptr || file.BytesFrom(body) < info.imageBytes ||
      file.BytesFrom(header) < kFlashPageSize) {
    return kUpgradeImageOutsideFile;
  }
  *pageCount = pages;
  return 0;
}

const char* ImageRefusalLine(int32_t code) {
  // In the words of the station's code table; another device has lines of its own.
  const char* text = StatusCodeText(StatusFamily::kUpgrade, code);
  if (code == kUpgradeWrongDevice || text == nullptr) return "";
  static char line[kTextCapacity];
  TextFormat(line, sizeof line, "    %s\r\n", text);
  return line;
}

int32_t UpgradeStep(int handle, FirmwareFile& file, int* done, int* progress, int* total) {
  UpgradeRun& run = g_run;
  switch (run.state) {
    case CheckingDevice:
      return StepCheckingDevice(handle, run);
    case CheckingFile:
      return StepCheckingFile(file, run);
    case Erasing:
      return StepErasing(handle, run, progress, total);
    case ErasingInfoPage: {
      int32_t code = EraseFlashPage(handle, kInfoPageKey, kInfoPageBase);
      run.state = Writing;
      return code;
    }
    case Writing:
      return StepWriting(handle, run, progress, total);
    case WritingInfoPage: {
      int32_t code = WriteInfoPage(handle, run.header);
      run.infoPageWritten = code == 0;
      run.state = Restarting;
      return code;
    }
    case Restarting: {
      int32_t code = RestartDevice(handle);
      run.state = Waiting;
      run.restartTime = platform::WallSeconds();
      run.restartTick = platform::TickMs();
      return code;
    }
    case Waiting:
      return StepWaiting(run, progress, total);
    case FinalCheck:
      return StepFinalCheck(handle, run, done);
  }
  // Not a state of the sequence: nothing to do, and nothing done.
  return kUpgradeWrongDevice;
}

int32_t EraseImageArea(int handle, uint32_t pageCount) {
  for (uint32_t i = 0; i < pageCount; ++i) {
    int32_t code = EraseFlashPage(handle, kFirmwareKey, kFirmwareBase + i * kFlashPageSize);
    if (code != 0) return code;
  }
  return EraseFlashPage(handle, kInfoPageKey, kInfoPageBase);
}

int32_t WriteImagePages(int handle, uint32_t pageCount, const uint8_t* body, uint32_t bodyBytes) {
  for (uint32_t i = 0; i < pageCount; ++i) {
    int32_t code = WriteImagePage(handle, body, bodyBytes, i);
    if (code != 0) return code;
  }
  return 0;
}

int32_t WriteInfoPage(int handle, const uint8_t* header) {
  if (header == nullptr) return kUpgradeImageOutsideFile;
  return WriteFlash(handle, kInfoPageKey, kInfoPageBase, kFlashPageSize, header);
}

int32_t RestartDevice(int handle) { return WriteU32(handle, kRegRestart, kRestartValue); }

int32_t FlashImage(int handle, const char* path) {
  FirmwareFile file(path);
  ImageInfo info;
  const uint8_t* body = nullptr;
  const uint8_t* header = nullptr;
  file.GetImageInfo(0, &info);
  file.GetImageData(0, &body);
  file.GetImageHeader(0, &header);
  if (file.error() != kFileNoError) return file.error();
  uint32_t pageCount = 0;
  int32_t code = CheckImageFits(file, info, body, header, &pageCount);
  if (code == 0) code = EraseImageArea(handle, kFirmwarePages);
  if (code == 0) code = WriteImagePages(handle, pageCount, body, info.imageBytes);
  if (code == 0) code = WriteInfoPage(handle, header);
  if (code == 0) code = RestartDevice(handle);
  file.Release();
  return code;
}
