// The device clock: seconds read at 61500 (U32, latched on the high word so
// that the low word read next belongs to the same second) and set at 61504.
// It runs on the bench's clock, moved by an offset.
#pragma once

#include <cstdint>
#include <string>

#include "base/cli.h"
#include "sim/core/register_map.h"
#include "sim/core/sim_clock.h"

namespace qxsim {

constexpr uint16_t kSimClockRegister = 61500;     // u32 seconds, read
constexpr uint16_t kSimClockSetRegister = 61504;  // u32 seconds, written

struct ClockSettings {
  int64_t offsetSeconds = 0;  // the device clock's distance from the host's
};

// --clock-offset SECONDS of the qxsim command line.
void AddClockOptions(cli::OptionTable* table, ClockSettings* clock);

class DeviceClock {
 public:
  DeviceClock(const SimClock& clock, ClockSettings settings)
      : clock_(clock), offsetSeconds_(settings.offsetSeconds) {}
  void Install(RegisterMap& map);

  uint32_t seconds() const;
  void Set(uint32_t seconds);

 private:
  const SimClock& clock_;
  int64_t offsetSeconds_;
  uint16_t setWords_[2] = {};
  uint32_t latch_ = 0;  // the value whose high word was read last
};

}  // namespace qxsim
