#include "device/flash.h"

#include <array>
#include <cstring>

#include "device/feedback_exchange.h"
#include "device/feedback_frame.h"
#include "device/flash_map.h"
#include "device/link_errors.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "qxm/qxm_errors.h"

namespace {

FeedbackFrame U32Write(uint32_t address, uint32_t value) {
  return FeedbackFrame(FrameDirection::Write, address, 2, FrameDataType::U32, value);
}

FeedbackFrame U32Read(uint32_t address) {
  return FeedbackFrame(FrameDirection::Read, address, 2, FrameDataType::U32);
}

// Attempts at putting an erased page back, and the pause before each further
// one (the library reconnects on the next exchange after a lost link).
constexpr int kPageRewriteAttempts = 3;
constexpr uint32_t kPageRewritePauseMs = 100;

// The device answered and refused: the operation was not carried out.
bool DeviceRefused(int32_t code) { return code >= QXM_ERR_DEVICE_EXCEPTION_BASE; }

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

int32_t WriteFlashBytes(int handle, uint32_t key, uint32_t address, uint32_t length,
                        const uint8_t* bytes) {
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
  if (!needErase) {
    if (!needWrite) return 0;
    // Writing only clears bits, so the whole image written again over a
    // part already written does no harm: a failure is tried again, so that
    // the page is not left half written.
    for (int attempt = 1;; ++attempt) {
      code = WriteFlash(handle, key, page, kFlashPageSize, image.data());
      if (code == 0 || attempt == kPageRewriteAttempts) return code;
      platform::SleepMs(kPageRewritePauseMs);
    }
  }
  // Once an erase may have happened, the page's only whole copy is the image
  // here: a failure is tried again from the erase on, so that the page ends
  // up as intended rather than blank. An erase that the device refused at
  // once left the page as it was.
  for (int attempt = 1;; ++attempt) {
    code = EraseFlashPage(handle, key, page);
    if (code != 0 && attempt == 1 && DeviceRefused(code)) return code;
    if (code == 0) code = WriteFlash(handle, key, page, kFlashPageSize, image.data());
    if (code == 0 || attempt == kPageRewriteAttempts) return code;
    platform::SleepMs(kPageRewritePauseMs);
  }
}
