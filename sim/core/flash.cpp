#include "sim/core/flash.h"

#include <cstring>
#include <stdexcept>

#include "sim/core/protocol.h"

namespace qxsim {

namespace {

constexpr size_t kRegionCount = sizeof kFlashRegions / sizeof kFlashRegions[0];

int RegionIndex(uint32_t address, uint64_t length) {
  for (size_t i = 0; i < kRegionCount; ++i) {
    const FlashRegion& r = kFlashRegions[i];
    if (address >= r.base && static_cast<uint64_t>(address) + length <= uint64_t{r.base} + r.size) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

}  // namespace

FlashMemory::FlashMemory() {
  for (size_t i = 0; i < kRegionCount; ++i) regions_[i].assign(kFlashRegions[i].size, 0xFF);
}

const FlashRegion* FlashMemory::RegionOf(uint32_t address, uint32_t length) {
  int i = RegionIndex(address, length);
  return i < 0 ? nullptr : &kFlashRegions[i];
}

uint8_t* FlashMemory::Locate(uint32_t address, size_t length) {
  int i = RegionIndex(address, length);
  if (i < 0) return nullptr;
  return regions_[i].data() + (address - kFlashRegions[i].base);
}

const uint8_t* FlashMemory::Locate(uint32_t address, size_t length) const {
  int i = RegionIndex(address, length);
  if (i < 0) return nullptr;
  return regions_[i].data() + (address - kFlashRegions[i].base);
}

uint8_t FlashMemory::Erase(uint32_t key, uint32_t pageBase) {
  const FlashRegion* region = RegionOf(pageBase, 1);
  if (region == nullptr) return kIllegalDataAddress;
  if (key != region->key) return kWrongFlashKey;
  // The device erases whole pages only; an address inside a page is a
  // station fault worth hearing about rather than a silent rounding.
  if ((pageBase - region->base) % kFlashPageBytes != 0) return kIllegalDataValue;
  std::memset(Locate(pageBase, kFlashPageBytes), 0xFF, kFlashPageBytes);
  Changed(pageBase, kFlashPageBytes);
  ++eraseCount_;
  ++generation_;
  return kExceptionNone;
}

uint8_t FlashMemory::Program(uint32_t key, uint32_t address, const uint8_t* data, size_t length) {
  const FlashRegion* region = RegionOf(address, static_cast<uint32_t>(length));
  if (region == nullptr) return kIllegalDataAddress;
  if (key != region->key) return kWrongFlashKey;
  uint8_t* cells = Locate(address, length);
  for (size_t i = 0; i < length; ++i) cells[i] &= data[i];
  Changed(address, length);
  ++programCount_;
  ++generation_;
  return kExceptionNone;
}

uint8_t FlashMemory::Read(uint32_t key, uint32_t address, uint8_t* out, size_t length) const {
  const FlashRegion* region = RegionOf(address, static_cast<uint32_t>(length));
  if (region == nullptr) return kIllegalDataAddress;
  if (key != region->key) return kWrongFlashKey;
  std::memcpy(out, Locate(address, length), length);
  return kExceptionNone;
}

bool FlashMemory::Peek(uint32_t address, uint8_t* out, size_t length) const {
  const uint8_t* cells = Locate(address, length);
  if (cells == nullptr) return false;
  std::memcpy(out, cells, length);
  return true;
}

bool FlashMemory::Poke(uint32_t address, const uint8_t* data, size_t length) {
  uint8_t* cells = Locate(address, length);
  if (cells == nullptr) return false;
  std::memcpy(cells, data, length);
  Changed(address, length);
  ++generation_;
  return true;
}

bool FlashMemory::Blank(uint32_t address, size_t length) {
  uint8_t* cells = Locate(address, length);
  if (cells == nullptr) return false;
  std::memset(cells, 0xFF, length);
  Changed(address, length);
  ++generation_;
  return true;
}

const std::vector<uint8_t>& FlashMemory::RegionBytes(const FlashRegion& region) const {
  int i = RegionIndex(region.base, region.size);
  if (i < 0) throw std::invalid_argument("not a flash region");
  return regions_[i];
}

std::vector<uint8_t>& FlashMemory::RegionBytes(const FlashRegion& region) {
  int i = RegionIndex(region.base, region.size);
  if (i < 0) throw std::invalid_argument("not a flash region");
  ++generation_;  // the caller may change it
  Changed(region.base, region.size);
  return regions_[i];
}

void FlashMemory::Changed(uint32_t address, size_t length) {
  changes_.emplace_back(address, static_cast<uint32_t>(length));
}

std::vector<FlashPatch> FlashMemory::TakeChanges() {
  std::vector<FlashPatch> out;
  for (const auto& change : changes_) {
    FlashPatch patch;
    patch.address = change.first;
    const uint8_t* cells = Locate(change.first, change.second);
    patch.bytes.assign(cells, cells + change.second);
    out.push_back(std::move(patch));
  }
  changes_.clear();
  return out;
}

}  // namespace qxsim
