#include "sim/features/dio.h"

#include <memory>

#include "sim/core/protocol.h"

namespace qxsim {

namespace {

struct Group {
  uint32_t first;
  uint32_t count;
};
constexpr Group kGroups[kSimDioGroups] = {{0, 8}, {8, 8}, {16, 4}, {20, 3}};

uint32_t GroupMask(const Group& g) { return ((1u << g.count) - 1) << g.first; }

void SetBits(uint32_t* word, uint32_t mask, uint32_t bits) {
  *word = (*word & ~mask) | (bits & mask);
}

}  // namespace

uint32_t UnwiredLevels(uint32_t outputs, uint32_t outputLevels) {
  return ((outputs & outputLevels) | ~outputs) & kSimAllDioLines;
}

void DioLines::PowerOn() {
  outputs_ = 0;
  levels_ = 0;
}

uint32_t DioLines::Levels() const {
  uint32_t outputs = faults_.deadOutputs ? 0 : outputs_;
  uint32_t levels = levels_ & outputs;
  uint32_t pins = wiring_ ? wiring_(outputs, levels) : UnwiredLevels(outputs, levels);
  if (faults_.shortA >= 0 && faults_.shortB >= 0 && faults_.shortA < int{kSimDioLines} &&
      faults_.shortB < int{kSimDioLines}) {
    uint32_t pair = 1u << faults_.shortA | 1u << faults_.shortB;
    if ((pins & pair) != pair) pins &= ~pair;  // one low pulls the other
  }
  if (faults_.stuckLow >= 0 && faults_.stuckLow < int{kSimDioLines}) {
    pins &= ~(1u << faults_.stuckLow);
  }
  return pins & kSimAllDioLines;
}

bool DioLines::DrivenLow(size_t line) const {
  if (line >= kSimDioLines) return false;
  uint32_t bit = 1u << line;
  return (outputs_ & bit) != 0 && (levels_ & bit) == 0;
}

uint8_t DioLines::Read(uint16_t address, size_t count, uint16_t* values) const {
  uint32_t pins = Levels();
  for (size_t i = 0; i < count; ++i) {
    uint32_t reg = address + static_cast<uint32_t>(i);
    if (reg >= kSimDioGroupDirectionRegister) {
      const Group& g = kGroups[reg - kSimDioGroupDirectionRegister];
      values[i] = static_cast<uint16_t>((outputs_ & GroupMask(g)) >> g.first);
    } else if (reg >= kSimDioGroupLevelRegister) {
      const Group& g = kGroups[reg - kSimDioGroupLevelRegister];
      values[i] = static_cast<uint16_t>((pins & GroupMask(g)) >> g.first);
    } else if (reg >= kSimDioDirectionRegister) {
      values[i] = static_cast<uint16_t>(outputs_ >> (reg - kSimDioDirectionRegister) & 1u);
    } else {
      values[i] = static_cast<uint16_t>(pins >> (reg - kSimDioStateRegister) & 1u);
    }
  }
  return kExceptionNone;
}

uint8_t DioLines::Write(uint16_t address, size_t count, const uint16_t* values) {
  for (size_t i = 0; i < count; ++i) {
    uint32_t reg = address + static_cast<uint32_t>(i);
    if (reg >= kSimDioGroupDirectionRegister) {
      const Group& g = kGroups[reg - kSimDioGroupDirectionRegister];
      SetBits(&outputs_, GroupMask(g), static_cast<uint32_t>(values[i]) << g.first);
    } else if (reg >= kSimDioGroupLevelRegister) {
      const Group& g = kGroups[reg - kSimDioGroupLevelRegister];
      SetBits(&levels_, GroupMask(g), static_cast<uint32_t>(values[i]) << g.first);
    } else if (reg >= kSimDioDirectionRegister) {
      uint32_t bit = 1u << (reg - kSimDioDirectionRegister);
      SetBits(&outputs_, bit, values[i] != 0 ? bit : 0);
    } else {
      uint32_t bit = 1u << (reg - kSimDioStateRegister);
      outputs_ |= bit;
      SetBits(&levels_, bit, values[i] != 0 ? bit : 0);
    }
  }
  return kExceptionNone;
}

void DioLines::Install(RegisterMap& map) {
  auto block = std::make_shared<FunctionRegisters>(
      [this](uint16_t address, size_t count, uint16_t* values) {
        return Read(address, count, values);
      },
      [this](uint16_t address, size_t count, const uint16_t* values) {
        return Write(address, count, values);
      });
  map.Map(kSimDioStateRegister, kSimDioLines, block);
  map.Map(kSimDioDirectionRegister, kSimDioLines, block);
  map.Map(kSimDioGroupLevelRegister, kSimDioGroups, block);
  map.Map(kSimDioGroupDirectionRegister, kSimDioGroups, block);
}

}  // namespace qxsim
