#include "sim/features/versions.h"

#include <cmath>
#include <cstring>
#include <memory>

#include "sim/core/packing.h"
#include "sim/core/protocol.h"

namespace qxsim {

namespace {

constexpr uint32_t kImageMagic = 0x51584658;  // "QXFX"

float DecodeVersion(const uint8_t* p) {
  uint32_t bits = GetU32BE(p);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  if (std::isnan(value)) return value;
  if (value > 1000.0f || value < 0.0f) return static_cast<float>(p[2] + p[3] / 100.0);
  return value;
}

}  // namespace

float FirmwareVersionFromInfoPage(const uint8_t* page) {
  if (GetU32BE(page) != kImageMagic || GetU32BE(page + 4) != kDeviceCode) return 0.0f;
  return DecodeVersion(page + 8);
}

void WriteFactoryInfoPage(uint8_t* page, float version) {
  std::memset(page, 0xFF, kFlashPageBytes);
  std::memset(page, 0, 128);
  uint32_t bits;
  std::memcpy(&bits, &version, sizeof bits);
  PutU32BE(kImageMagic, page);
  PutU32BE(kDeviceCode, page + 4);
  PutU32BE(bits, page + 8);
  PutU32BE(bits, page + 12);
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
