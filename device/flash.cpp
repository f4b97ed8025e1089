#include "device/flash.h"

#include <array>
#include <cstring>

#include "device/device_link.h"
#include "device/feedback_exchange.h"
#include "device/feedback_frame.h"
#include "device/flash_map.h"
#include "device/link_errors.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "platform/stop_request.h"
#include "qxm/qxm.h"

namespace {

FeedbackFrame U32Write(uint32_t address, uint32_t value) {
  return FeedbackFrame(FrameDirection::Write, address, 2, FrameDataType::U32, value);
}

FeedbackFrame U32Read(uint32_t address) {
  return FeedbackFrame(FrameDirection::Read, address, 2, FrameDataType::U32);
}

// How long a page update whose link failed goes on trying to finish the
// page (a USB device that re-enumerates takes seconds), and the pause before
// each further attempt.
constexpr uint32_t kPageRecoveryMs = 10000;
constexpr uint32_t kPageRetryPauseMs = 100;

uint32_t ChunkCount(uint32_t length) {
  return length / kFlashChunkSize + (length % kFlashChunkSize != 0 ? 1 : 0);
}

}  // namespace

int32_t EraseFlashPage(int handle, uint32_t key, uint32_t address) {
  FeedbackFrame frames[2] = {U32Write(kRegFlashKey, key), U32Write(kRegFlashErase, address)};
  return FeedbackExchange(handle, 2, frames);
}

int32_t WriteFlash(int handle, uint32_t key, uint32_t address, uint32_t length,
                   const uint8_t* data) {
  if (length % 2 != 0) return kLinkFlashBadArgument;
  if (length > 0 && data == nullptr) return kLinkBadArgument;
  // A page begun is written to its end: a stop request waits for it.
  platform::UncutScope uncut;
  const uint32_t chunks = ChunkCount(length);
  for (uint32_t i = 0; i < chunks; ++i) {
    const uint32_t offset = kFlashChunkSize * i;
    const uint32_t n = length - offset < kFlashChunkSize ? length - offset : kFlashChunkSize;
    // The write window takes the target address, most significant byte first,
    // ahead of the data.
    std::array<uint8_t, 4 + kFlashChunkSize> block{};
    PutU32BE(block.data(), block.size(), 0, address + offset);
    std::memcpy(block.data() + 4, data + offset, n);
    FeedbackFrame frames[2] = {U32Write(kRegFlashKey, key),
                               FeedbackFrame(FrameDirection::Write, kRegFlashWriteWindow, n / 2 + 2,
                                             FrameDataType::Bytes, block.data())};
    int32_t code = FeedbackExchange(handle, 2, frames);
    if (code != 0) return code;
  }
  return 0;
}

int32_t ReadFlash(int handle, uint32_t key, uint32_t address, uint32_t length, uint8_t* data) {
  if (length > 0 && data == nullptr) return kLinkBadArgument;
  {
    // The two values read back are not used; reading them completes the
    // device's handling of the key and the pointer before the first window.
    FeedbackFrame frames[4] = {U32Write(kRegFlashKey, key), U32Write(kRegFlashReadPointer, address),
                               U32Read(kRegFlashKey), U32Read(kRegFlashReadPointer)};
    int32_t code = FeedbackExchange(handle, 4, frames);
    if (code != 0) return code;
  }
  const uint32_t chunks = ChunkCount(length);
  for (uint32_t i = 0; i < chunks; ++i) {
    const uint32_t offset = kFlashChunkSize * i;
    const uint32_t n = length - offset < kFlashChunkSize ? length - offset : kFlashChunkSize;
    FeedbackFrame frames[2] = {U32Write(kRegFlashReadPointer, address + offset),
                               FeedbackFrame(FrameDirection::Read, kRegFlashReadWindow,
                                             kFlashReadWindowRegisters, FrameDataType::Bytes)};
    int32_t code = FeedbackExchange(handle, 2, frames);
    if (code != 0) return code;
    std::memcpy(data + offset, frames[1].Bytes(), n);
  }
  return 0;
}

namespace {

// One attempt at making the page what the image says: the erase when a bit
// must be set, then the whole image.
int32_t PutPage(int handle, uint32_t key, uint32_t page, bool erase, const uint8_t* image) {
  int32_t code = erase ? EraseFlashPage(handle, key, page) : 0;
  if (code == 0) code = WriteFlash(handle, key, page, kFlashPageSize, image);
  return code;
}

// The update failed with code once its erase or write had gone out, so the
// page may be erased or half written, and its only whole copy is the image
// here (a refused erase proves nothing either: the device may have begun
// it). Opens the device again the way it was opened and puts the page back,
// until that works or kPageRecoveryMs have passed on the platform clock.
// Only this page is touched.
int32_t RecoverPage(int handle, uint32_t key, uint32_t page, bool erase, const uint8_t* image,
                    int32_t code) {
  const platform::Deadline deadline(kPageRecoveryMs);
  while (!deadline.Expired()) {
    platform::SleepMs(kPageRetryPauseMs);
    int reopened = 0;
    const int32_t opened = ReopenDeviceLink(handle, &reopened);
    if (opened == kLinkNoRoute) {
      // Not known how it was opened: the same handle, which the library
      // connects again.
      code = PutPage(handle, key, page, erase, image);
    } else if (opened != 0) {
      code = opened;  // not back yet
      continue;
    } else {
      code = PutPage(reopened, key, page, erase, image);
      QXM_Close(reopened);
    }
    if (code == 0) return 0;
  }
  return code;
}

}  // namespace

int32_t WriteFlashBytes(int handle, uint32_t key, uint32_t address, uint32_t length,
                        const uint8_t* bytes) {
  return WriteFlashBytes(handle, key, address, length, bytes, nullptr);
}

int32_t WriteFlashBytes(int handle, uint32_t key, uint32_t address, uint32_t length,
                        const uint8_t* bytes, bool* pageAtRisk) {
  if (pageAtRisk != nullptr) *pageAtRisk = false;
  const uint32_t page = address & kFlashPageMask;
  const uint32_t offset = address & kFlashOffsetMask;
  // Compared this way round so that a huge length cannot wrap past the check.
  if (length > kFlashPageSize - offset) return kLinkFlashBadArgument;
  if (length > 0 && bytes == nullptr) return kLinkBadArgument;

  std::array<uint8_t, kFlashPageSize> image{};
  int32_t code = ReadFlash(handle, key, page, kFlashPageSize, image.data());
  if (code != 0) return code;

  bool needErase = false;
  bool needWrite = false;
  for (uint32_t j = 0; j < length; ++j) {
    const uint8_t oldByte = image[offset + j];
    const uint8_t newByte = bytes[j];
    // Writing can only clear bits: a bit going from 0 to 1 needs an erase.
    if ((~oldByte & newByte & 0xFF) != 0) needErase = true;
    if ((oldByte & ~newByte & 0xFF) != 0) needWrite = true;
    image[offset + j] = newByte;
  }
  if (!needErase && !needWrite) return 0;
  // From the first erase or write on, the update runs to its end: a stop
  // request waits for it, and a failure is mended from the image. Writing
  // only clears bits, so the whole image written again over a part already
  // written does no harm.
  platform::UncutScope uncut;
  code = PutPage(handle, key, page, needErase, image.data());
  if (code != 0) code = RecoverPage(handle, key, page, needErase, image.data(), code);
  if (pageAtRisk != nullptr) *pageAtRisk = code != 0;
  return code;
}
