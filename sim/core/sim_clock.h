// The bench's one clock: restart times, the device clock registers, the
// meter's timing. By default it reads the platform clock in force, so a test
// that installs platform::FakeClock steps the station and the bench together;
// a bench part that must keep real time while a test fakes the station's
// is given a clock of its own.
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace qxsim {

class SimClock {
 public:
  SimClock() = default;
  explicit SimClock(platform::Clock* fixed) : fixed_(fixed) {}

  uint64_t NowMs() const { return clock().TickMs(); }
  int64_t WallSeconds() const { return clock().WallSeconds(); }

 private:
  platform::Clock& clock() const { return fixed_ != nullptr ? *fixed_ : platform::GetClock(); }

  platform::Clock* fixed_ = nullptr;
};

}  // namespace qxsim
