#include "sim/features/clock.h"

#include <memory>

#include "sim/core/protocol.h"

namespace qxsim {

void AddClockOptions(cli::OptionTable* table, ClockSettings* clock) {
  table->Option("--clock-offset SECONDS", "the device clock's distance from the host's",
                cli::Signed(-4000000000LL, 4000000000LL, cli::Says("bad clock offset: "),
                            [clock](int64_t v) { clock->offsetSeconds = v; }));
}

uint32_t DeviceClock::seconds() const {
  return static_cast<uint32_t>(clock_.WallSeconds() + offsetSeconds_);
}

void DeviceClock::Set(uint32_t seconds) {
  offsetSeconds_ = static_cast<int64_t>(seconds) - clock_.WallSeconds();
}

void DeviceClock::Install(RegisterMap& map) {
  map.Map(
      kSimClockRegister, 2,
      std::make_shared<FunctionRegisters>(
          [this](uint16_t address, size_t count, uint16_t* values) {
            for (size_t i = 0; i < count; ++i) {
              if (address + i == kSimClockRegister) {
                latch_ = seconds();
                values[i] = static_cast<uint16_t>(latch_ >> 16);
              } else {
                values[i] = static_cast<uint16_t>(latch_);
              }
            }
            return static_cast<uint8_t>(kExceptionNone);
          },
          // Read-only; writes are taken and ignored.
          [](uint16_t, size_t, const uint16_t*) { return static_cast<uint8_t>(kExceptionNone); }));
  map.Map(kSimClockSetRegister, 2,
          std::make_shared<FunctionRegisters>(
              [this](uint16_t address, size_t count, uint16_t* values) {
                for (size_t i = 0; i < count; ++i) {
                  values[i] = setWords_[address - kSimClockSetRegister + i];
                }
                return static_cast<uint8_t>(kExceptionNone);
              },
              [this](uint16_t address, size_t count, const uint16_t* values) {
                for (size_t i = 0; i < count; ++i) {
                  size_t word = address - kSimClockSetRegister + i;
                  setWords_[word] = values[i];
                  // A u32 arrives high word first; the low word completes it.
                  if (word == 1) Set(static_cast<uint32_t>(setWords_[0]) << 16 | setWords_[1]);
                }
                return static_cast<uint8_t>(kExceptionNone);
              }));
}

}  // namespace qxsim
