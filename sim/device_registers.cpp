// The core model's registers: identity and versions, the registers the
// opening test writes, the flash interface and the restart register.
#include <cstring>
#include <memory>

#include "sim/identity_registers.h"
#include "sim/sim_protocol.h"
#include "sim/virtual_device.h"

namespace qxsim {

namespace {

void PutU32(uint32_t v, uint16_t* regs) {
  regs[0] = static_cast<uint16_t>(v >> 16);
  regs[1] = static_cast<uint16_t>(v);
}

void PutF32(float f, uint16_t* regs) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  PutU32(bits, regs);
}

uint32_t GetU32(const uint16_t* regs) { return static_cast<uint32_t>(regs[0]) << 16 | regs[1]; }

// 60000..60029, read-only. Registers the model does not define read 0.
class IdentityBlock : public RegisterBlock {
 public:
  explicit IdentityBlock(DeviceCore& core) : core_(core) {}

  uint8_t Read(uint16_t address, size_t count, uint16_t* values) override {
    uint16_t regs[kIdentityCount] = {};
    PutF32(kProductIdentifier, regs + (kProductIdRegister - kIdentityFirst));
    PutF32(core_.firmwareVersion, regs + (kFirmwareVersionRegister - kIdentityFirst));
    PutF32(core_.bootloaderVersion, regs + (kBootloaderVersionRegister - kIdentityFirst));
    PutU32(core_.isMax ? 1u : 0u, regs + (kEditionRegister - kIdentityFirst));
    // The serial number and MAC follow the configuration page at once: the
    // station reads them back right after writing the records.
    const uint8_t* page = core_.flash.RegionBytes(kConfigRegion).data();
    uint64_t mac = MacFromConfigPage(page);
    for (int i = 0; i < 3; ++i) {
      regs[kMacRegister - kIdentityFirst + i] = static_cast<uint16_t>(mac >> (32 - 16 * i));
    }
    PutU32(SerialFromConfigPage(page), regs + (kSerialRegister - kIdentityFirst));
    for (size_t i = 0; i < count; ++i) values[i] = regs[address - kIdentityFirst + i];
    return kExceptionNone;
  }

  uint8_t Write(uint16_t, size_t, const uint16_t*) override { return kIllegalDataAddress; }

 private:
  DeviceCore& core_;
};

// 61800..61847: key, read pointer, read window, erase, write window. The
// read pointer does not move by itself; the station sets it before every
// window read.
class FlashInterfaceBlock : public RegisterBlock {
 public:
  explicit FlashInterfaceBlock(DeviceCore& core) : core_(core) {}

  uint8_t Read(uint16_t address, size_t count, uint16_t* values) override {
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
        uint8_t e = core_.flash.Read(key_, static_cast<uint32_t>(from), bytes, 2 * n);
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

  uint8_t Write(uint16_t address, size_t count, const uint16_t* values) override {
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
        return core_.flash.Erase(key_, value);
      default:
        return kIllegalDataAddress;
    }
  }

  void PowerOn() override {
    key_ = 0;
    pointer_ = 0;
  }

 private:
  // 4 address bytes, then n data bytes (1 <= n / 2 <= 16).
  uint8_t WriteWindow(size_t count, const uint16_t* values) {
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
    if (core_.flashWriteFailAfter == 0) return kDeviceFailure;
    if (core_.flashWriteFailAfter > 0) --core_.flashWriteFailAfter;
    return core_.flash.Program(key_, target, bytes, n);
  }

  DeviceCore& core_;
  uint32_t key_ = 0;
  uint32_t pointer_ = 0;
};

uint8_t WriteRestart(DeviceCore& core, uint16_t address, size_t count, const uint16_t* values) {
  if (address != kRestartRegister || count != 2) return kIllegalDataAddress;
  if (GetU32(values) != kRestartValue) return kIllegalDataValue;
  core.restartRequested = true;
  return kExceptionNone;
}

}  // namespace

void InstallCoreRegisters(RegisterMap& map, DeviceCore& core) {
  map.Map(kIdentityFirst, kIdentityCount, std::make_shared<IdentityBlock>(core));
  map.Map(kOpeningU32Register, 2, std::make_shared<StoredRegisters>(kOpeningU32Register, 2));
  map.Map(kOpeningU16Register, 1, std::make_shared<StoredRegisters>(kOpeningU16Register, 1));
  map.Map(kMeterSourceRegister, 2, std::make_shared<StoredRegisters>(kMeterSourceRegister, 2));
  map.Map(kFlashInterfaceFirst, kFlashInterfaceCount, std::make_shared<FlashInterfaceBlock>(core));
  map.Map(kRestartRegister, 2,
          std::make_shared<FunctionRegisters>(
              [](uint16_t, size_t count, uint16_t* values) {
                for (size_t i = 0; i < count; ++i) values[i] = 0;
                return static_cast<uint8_t>(kExceptionNone);
              },
              [&core](uint16_t address, size_t count, const uint16_t* values) {
                return WriteRestart(core, address, count, values);
              }));
}

}  // namespace qxsim
