#include "sim/features/versions.h"

#include <cmath>
#include <cstring>
#include <memory>

#include "platform/byte_order.h"
#include "sim/core/protocol.h"

namespace qxsim {

namespace {

constexpr uint32_t kImageMagic = 0x51584658;  // "QXFX"

float DecodeVersion(const uint8_t* p) {
  float value = GetF32BE(p, 4, 0);
  if (std::isnan(value)) return value;
  if (value > 1000.0f || value < 0.0f) return static_cast<float>(p[2] + p[3] / 100.0);
  return value;
}

}  // namespace

float FirmwareVersionFromInfoPage(const uint8_t* page) {
  if (GetU32BE(page, kFlashPageBytes, 0) != kImageMagic ||
      GetU32BE(page, kFlashPageBytes, 4) != kDeviceCode) {
    return 0.0f;
  }
  return DecodeVersion(page + 8);
}

void WriteFactoryInfoPage(uint8_t* page, float version) {
  std::memset(page, 0xFF, kFlashPageBytes);
  std::memset(page, 0, 128);
  PutU32BE(page, kFlashPageBytes, 0, kImageMagic);
  PutU32BE(page, kFlashPageBytes, 4, kDeviceCode);
  PutF32BE(page, kFlashPageBytes, 8, version);
  PutF32BE(page, kFlashPageBytes, 12, version);
  page[19] = 1;  // one image
}

void Versions::Install(RegisterMap& map) {
  map.Map(kFirmwareVersionRegister, 4,
          std::make_shared<FunctionRegisters>(
              [this](uint16_t address, size_t count, uint16_t* values) {
                uint16_t regs[4];
                PutF32(firmware_, regs);
                PutF32(bootloader_, regs + 2);
                for (size_t i = 0; i < count; ++i) {
                  values[i] = regs[address - kFirmwareVersionRegister + i];
                }
                return static_cast<uint8_t>(kExceptionNone);
              },
              nullptr));
}

void Versions::PowerOn() {
  firmware_ = FirmwareVersionFromInfoPage(flash_.RegionBytes(kInfoRegion).data());
}

}  // namespace qxsim
