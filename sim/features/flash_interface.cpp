#include "sim/features/flash_interface.h"

#include <memory>

#include "platform/byte_order.h"
#include "sim/core/protocol.h"

namespace qxsim {

void FlashInterface::Install(RegisterMap& map) {
  map.Map(kFlashInterfaceFirst, kFlashInterfaceCount,
          std::make_shared<FunctionRegisters>(
              [this](uint16_t address, size_t count, uint16_t* values) {
                return Read(address, count, values);
              },
              [this](uint16_t address, size_t count, const uint16_t* values) {
                return Write(address, count, values);
              }));
}

void FlashInterface::PowerOn() {
  key_ = 0;
  pointer_ = 0;
}

uint8_t FlashInterface::Read(uint16_t address, size_t count, uint16_t* values) {
  constexpr uint32_t kWindowEnd = kFlashReadWindow + kFlashWindowBytes / 2;
  size_t i = 0;
  while (i < count) {
    uint32_t reg = address + static_cast<uint32_t>(i);
    if (reg >= kFlashReadWindow && reg < kWindowEnd) {
      size_t n = 0;
      while (i + n < count && reg + n < kWindowEnd) ++n;
      uint64_t from = uint64_t{pointer_} + 2 * (reg - kFlashReadWindow);
      if (from + 2 * n > 0xFFFFFFFFull) return kIllegalDataAddress;
      uint8_t bytes[kFlashWindowBytes];
      uint8_t e = flash_.Read(key_, static_cast<uint32_t>(from), bytes, 2 * n);
      if (e != kExceptionNone) return e;
      for (size_t k = 0; k < n; ++k) {
        values[i + k] = static_cast<uint16_t>(bytes[2 * k] << 8 | bytes[2 * k + 1]);
      }
      i += n;
      continue;
    }
    // The key is write-only; it reads 0 like the unused registers.
    if (reg == kFlashPointerRegister) {
      values[i] = static_cast<uint16_t>(pointer_ >> 16);
    } else if (reg == kFlashPointerRegister + 1u) {
      values[i] = static_cast<uint16_t>(pointer_);
    } else {
      values[i] = 0;
    }
    ++i;
  }
  return kExceptionNone;
}

uint8_t FlashInterface::Write(uint16_t address, size_t count, const uint16_t* values) {
  if (address == kFlashWriteWindow) return WriteWindow(count, values);
  // The other registers take a whole 32-bit value in one record.
  if (count != 2) return kIllegalDataAddress;
  uint32_t value = GetU32(values);
  switch (address) {
    case kFlashKeyRegister:
      key_ = value;
      return kExceptionNone;
    case kFlashPointerRegister:
      pointer_ = value;
      return kExceptionNone;
    case kFlashEraseRegister:
      return flash_.Erase(key_, value);
    default:
      return kIllegalDataAddress;
  }
}

// 4 address bytes, then n data bytes (1 <= n / 2 <= 16).
uint8_t FlashInterface::WriteWindow(size_t count, const uint16_t* values) {
  if (count < 3 || count > 2 + kFlashWindowBytes / 2) return kIllegalDataValue;
  uint32_t target = GetU32(values);
  size_t n = 2 * (count - 2);
  uint8_t bytes[kFlashWindowBytes];
  for (size_t k = 0; k < count - 2; ++k) {
    bytes[2 * k] = static_cast<uint8_t>(values[2 + k] >> 8);
    bytes[2 * k + 1] = static_cast<uint8_t>(values[2 + k]);
  }
  const FlashRegion* region = FlashMemory::RegionOf(target, static_cast<uint32_t>(n));
  if (region == nullptr) return kIllegalDataAddress;
  if (key_ != region->key) return kWrongFlashKey;
  if (failAfter_ == 0) return kDeviceFailure;
  if (failAfter_ > 0) --failAfter_;
  return flash_.Program(key_, target, bytes, n);
}

}  // namespace qxsim
