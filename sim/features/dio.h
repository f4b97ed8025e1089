// The device's 23 digital lines, one line state behind two views:
//   single lines: 2000 + i level (writing makes line i an output at that
//                 level: 0 low, anything else high), 2100 + i direction
//                 (1 = output);
//   groups:       2500..2503 levels, 2550..2553 directions, bit n = line n
//                 of the group (lines 0-7, 8-15, 16-19, 20-22); a level
//                 write sets the levels of the group's outputs.
// A line that is an output reads its own level; an input reads what the
// outside puts on it: high (pulled up) when nothing is attached, or what the
// wiring (sim/jig.h) says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "sim/core/register_map.h"

namespace qxsim {

constexpr uint16_t kSimDioStateRegister = 2000;
constexpr uint16_t kSimDioDirectionRegister = 2100;
constexpr uint16_t kSimDioGroupLevelRegister = 2500;
constexpr uint16_t kSimDioGroupDirectionRegister = 2550;
constexpr size_t kSimDioLines = 23;
constexpr size_t kSimDioGroups = 4;
constexpr uint32_t kSimAllDioLines = (1u << kSimDioLines) - 1;

// What the outside does to the pins: given the lines the device drives
// (bit i: line i is an output) and their levels, the level of every pin.
using PinWiring = std::function<uint32_t(uint32_t outputs, uint32_t outputLevels)>;

// The pins with nothing attached: outputs at their level, inputs high.
uint32_t UnwiredLevels(uint32_t outputs, uint32_t outputLevels);

// Faults of the device's own lines.
struct DioFaults {
  int shortA = -1;  // two lines joined on the board (-1: none)
  int shortB = -1;
  int stuckLow = -1;         // a line held low (-1: none)
  bool deadOutputs = false;  // the output drivers drive nothing
};

class DioLines {
 public:
  void Install(RegisterMap& map);
  void PowerOn();  // every line an input, every output level low

  // Connects the pins to the outside (null: nothing attached).
  void SetWiring(PinWiring wiring) { wiring_ = std::move(wiring); }
  void SetFaults(const DioFaults& faults) { faults_ = faults; }

  uint32_t outputs() const { return outputs_; }
  uint32_t outputLevels() const { return levels_ & outputs_; }
  // What every pin reads now.
  uint32_t Levels() const;
  // True when the line is an output driven low.
  bool DrivenLow(size_t line) const;

 private:
  uint8_t Read(uint16_t address, size_t count, uint16_t* values) const;
  uint8_t Write(uint16_t address, size_t count, const uint16_t* values);

  uint32_t outputs_ = 0;
  uint32_t levels_ = 0;  // the output latch, also of lines that are inputs now
  PinWiring wiring_;
  DioFaults faults_;
};

}  // namespace qxsim
