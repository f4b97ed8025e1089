// Versions: the running firmware, decided at power-on from the info page's
// image header, and the bootloader's. Registers 60004 and 60006 (F32).
#pragma once

#include <cstdint>

#include "sim/core/flash.h"
#include "sim/core/register_map.h"

namespace qxsim {

constexpr uint16_t kFirmwareVersionRegister = 60004;    // F32, the running firmware
constexpr uint16_t kBootloaderVersionRegister = 60006;  // F32
constexpr uint32_t kDeviceCode = 100017001;             // what an image must be built for

// The running firmware's version as the device finds it in its info page:
// the version field of a valid image header (magic "QXFX", built for this
// device), 0.0 when the page holds none (the device then runs its
// bootloader only).
float FirmwareVersionFromInfoPage(const uint8_t* page);
// The info page of a factory-fresh device: an image header with the version.
void WriteFactoryInfoPage(uint8_t* page, float version);

class Versions {
 public:
  Versions(const FlashMemory& flash, float bootloader) : flash_(flash), bootloader_(bootloader) {}
  void Install(RegisterMap& map);
  void PowerOn();

  float firmware() const { return firmware_; }
  float bootloader() const { return bootloader_; }
  void SetBootloader(float version) { bootloader_ = version; }

 private:
  const FlashMemory& flash_;
  float firmware_ = 0.0f;
  float bootloader_;
};

}  // namespace qxsim
