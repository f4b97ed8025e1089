#include "sim/features/stream.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/byte_order.h"
#include "sim/core/protocol.h"

namespace qxsim {

namespace {

constexpr size_t kRateOffset = 0;          // 4002
constexpr size_t kValuesOffset = 2;        // 4004
constexpr size_t kChannelListOffset = 18;  // 4020
constexpr uint32_t kChannelSlots = 4;      // what the channel list holds
// The device counts due scans in 32 bits: whatever rate a request wrote
// (1e30, infinity, NaN), no more than this are ever due.
constexpr double kMaxDueScans = 4294967295.0;

}  // namespace

void Stream::PowerOn() {
  std::memset(settings_, 0, sizeof settings_);
  std::memset(commands_, 0, sizeof commands_);
  running_ = false;
  startMs_ = 0;
  delivered_ = 0;
}

uint32_t Stream::ValuesPerScan() const {
  uint32_t n = GetU32(settings_ + kValuesOffset);
  return std::min(std::max(n, 1u), kChannelSlots);
}

uint8_t Stream::ReadData(uint16_t address, size_t count, uint16_t* values) {
  uint16_t block[kSimStreamDataCount] = {};
  // A read that starts at the block's first register takes the due scans;
  // any other part of the block reads as empty.
  if (address == kSimStreamDataRegister && running_) {
    double rate = GetF32(settings_ + kRateOffset);
    double scans = static_cast<double>(clock_.NowMs() - startMs_) * rate / 1000.0;
    if (!(scans > 0.0)) scans = 0.0;  // NaN too
    if (scans > kMaxDueScans) scans = kMaxDueScans;
    uint64_t due = static_cast<uint64_t>(scans);
    uint32_t perScan = ValuesPerScan();
    uint64_t take = std::min<uint64_t>(due - std::min(due, delivered_), kSimStreamRoom / perScan);
    uint32_t n = static_cast<uint32_t>(take * perScan);
    for (uint32_t s = 0; s < take; ++s) {
      uint64_t scan = delivered_ + s;
      for (uint32_t slot = 0; slot < perScan; ++slot) {
        int channel = settings_[kChannelListOffset + 2 * slot] >> 8;
        float v = reading_ ? reading_(channel) : 0.0f;
        if (faults_.badValue && slot == 0 && scan == kSimStreamBadScan) v = 0.0f;
        PutF32(v, block + 4 + 2 * (s * perScan + slot));
      }
    }
    delivered_ += take;
    PutU32(faults_.oversizeBlock ? kSimStreamRoom + 4 : n, block);
    PutU32(static_cast<uint32_t>(due - delivered_), block + 2);
  }
  std::memcpy(values, block + (address - kSimStreamDataRegister), count * sizeof *values);
  return kExceptionNone;
}

void Stream::Install(RegisterMap& map) {
  map.Map(kSimStreamSettingsRegister, kSimStreamSettingsCount,
          std::make_shared<FunctionRegisters>(
              [this](uint16_t address, size_t count, uint16_t* values) {
                std::memcpy(values, settings_ + (address - kSimStreamSettingsRegister),
                            count * sizeof *values);
                return static_cast<uint8_t>(kExceptionNone);
              },
              [this](uint16_t address, size_t count, const uint16_t* values) {
                std::memcpy(settings_ + (address - kSimStreamSettingsRegister), values,
                            count * sizeof *values);
                return static_cast<uint8_t>(kExceptionNone);
              }));
  map.Map(kSimStreamDataRegister, kSimStreamDataCount,
          std::make_shared<FunctionRegisters>(
              [this](uint16_t address, size_t count, uint16_t* values) {
                return ReadData(address, count, values);
              },
              nullptr));
  // Writing the start or the stop register acts; both keep what was written.
  map.Map(kSimStreamStartRegister, 4,
          std::make_shared<FunctionRegisters>(
              [this](uint16_t address, size_t count, uint16_t* values) {
                std::memcpy(values, commands_ + (address - kSimStreamStartRegister),
                            count * sizeof *values);
                return static_cast<uint8_t>(kExceptionNone);
              },
              [this](uint16_t address, size_t count, const uint16_t* values) {
                std::memcpy(commands_ + (address - kSimStreamStartRegister), values,
                            count * sizeof *values);
                if (address < kSimStreamStopRegister) {
                  running_ = true;
                  startMs_ = clock_.NowMs();
                  delivered_ = 0;
                } else {
                  running_ = false;
                }
                return static_cast<uint8_t>(kExceptionNone);
              }));
}

}  // namespace qxsim
