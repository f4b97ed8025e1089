// The four counters and the sources on the device that feed them. Source k
// is configured by five registers at 44020 + 10k, the last one its count;
// counter k, enabled by its two registers at 44160 + 10k, counts source k and
// reads (U32 at 3162 + 10k) the full count once kSimCounterSettleMs have
// passed since the source was written, a share of it before. The setup
// registers 44900..44903 are kept; writing 61990 clears every counter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/core/register_map.h"
#include "sim/core/sim_clock.h"

namespace qxsim {

constexpr size_t kSimCounters = 4;
constexpr uint16_t kSimCounterSourceRegister = 44020;
constexpr uint16_t kSimCounterEnableRegister = 44160;
constexpr uint16_t kSimCounterValueRegister = 3162;
constexpr uint16_t kSimCounterSetupRegister = 44900;
constexpr uint16_t kSimCounterResetRegister = 61990;
constexpr uint32_t kSimCounterSettleMs = 300;

class Counters {
 public:
  explicit Counters(const SimClock& clock) : clock_(clock) {}
  void Install(RegisterMap& map);
  void PowerOn();

  // The wrong-counter fault: each counter k with bit k set reads one more
  // than it counted.
  void SetWrongCounters(uint32_t mask) { wrong_ = mask; }
  uint32_t Value(size_t counter) const;

 private:
  const SimClock& clock_;
  uint16_t sources_[kSimCounters][10] = {};
  uint16_t enables_[kSimCounters][10] = {};
  uint16_t setup_[4] = {};
  uint64_t sourceWrittenMs_[kSimCounters] = {};
  bool counting_[kSimCounters] = {};
  uint32_t wrong_ = 0;
};

}  // namespace qxsim
