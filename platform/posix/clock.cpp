#include "platform/clock.h"

#include <sched.h>
#include <time.h>

#include <cerrno>

namespace platform {

namespace {

class PosixClock : public Clock {
 public:
  uint64_t TickMs() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  }
  int64_t WallSeconds() override { return static_cast<int64_t>(time(nullptr)); }
  int64_t WallMs() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }
  void SleepMs(uint32_t ms) override {
    timespec want{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    // A signal cuts nanosleep short; sleep out the rest.
    while (nanosleep(&want, &want) != 0 && errno == EINTR) {
    }
  }
};

}  // namespace

uint64_t MonotonicUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void YieldThread() { sched_yield(); }

Clock& SystemClock() {
  static PosixClock clock;
  return clock;
}

}  // namespace platform
