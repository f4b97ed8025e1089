// The device's flash memory: the regions that the station touches, each with
// its own key, in pages of 4 KiB that erase to 0xFF. Programming can only
// clear bits (new content = old AND data), as on the real part.
//
// Not thread-safe: it lives inside the VirtualDevice, whose lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace qxsim {

constexpr uint32_t kFlashPageBytes = 4096;

struct FlashRegion {
  const char* name;
  uint32_t base;
  uint32_t size;
  uint32_t key;
};

constexpr FlashRegion kFirmwareRegion = {"firmware", 0x200000, 120 * kFlashPageBytes, 0x3E7C51A9};
constexpr FlashRegion kInfoRegion = {"info", 0x380000, kFlashPageBytes, 0x91D4E62B};
constexpr FlashRegion kConfigRegion = {"config", 0x3C3000, kFlashPageBytes, 0x7B3F0C58};
constexpr FlashRegion kCalibrationRegion = {"calibration", 0x3C4000, kFlashPageBytes, 0x6C1D4E93};
constexpr FlashRegion kFlashRegions[] = {kFirmwareRegion, kInfoRegion, kConfigRegion,
                                         kCalibrationRegion};

// Bytes of the flash as they stand after a change, at their address.
struct FlashPatch {
  uint32_t address = 0;
  std::vector<uint8_t> bytes;
};

class FlashMemory {
 public:
  FlashMemory();  // every region erased

  // The region that holds all of [address, address + length), or null.
  static const FlashRegion* RegionOf(uint32_t address, uint32_t length);

  // The device's operations, checked: an exception code (sim_protocol.h),
  // 0 when done. The range is checked first (outside every region:
  // kIllegalDataAddress), then the key (kWrongFlashKey).
  uint8_t Erase(uint32_t key, uint32_t pageBase);
  uint8_t Program(uint32_t key, uint32_t address, const uint8_t* data, size_t length);
  uint8_t Read(uint32_t key, uint32_t address, uint8_t* out, size_t length) const;

  // Raw access for the bench: no key, no AND. False when the range is not
  // inside one region.
  bool Peek(uint32_t address, uint8_t* out, size_t length) const;
  bool Poke(uint32_t address, const uint8_t* data, size_t length);
  bool Blank(uint32_t address, size_t length);

  // A whole region's bytes (region is one of kFlashRegions).
  const std::vector<uint8_t>& RegionBytes(const FlashRegion& region) const;
  std::vector<uint8_t>& RegionBytes(const FlashRegion& region);

  // The ranges changed since the last call, with their bytes as they stand
  // now, in the order of the changes.
  std::vector<FlashPatch> TakeChanges();

  // Counts every change, so that a saver can tell whether there is news.
  uint64_t generation() const { return generation_; }
  uint64_t eraseCount() const { return eraseCount_; }
  uint64_t programCount() const { return programCount_; }

 private:
  uint8_t* Locate(uint32_t address, size_t length);
  void Changed(uint32_t address, size_t length);
  const uint8_t* Locate(uint32_t address, size_t length) const;

  std::vector<uint8_t> regions_[sizeof kFlashRegions / sizeof kFlashRegions[0]];
  std::vector<std::pair<uint32_t, uint32_t>> changes_;  // address, length
  uint64_t generation_ = 0;
  uint64_t eraseCount_ = 0;
  uint64_t programCount_ = 0;
};

}  // namespace qxsim
