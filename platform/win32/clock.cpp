#include "platform/clock.h"

#include <windows.h>

#include <ctime>

namespace platform {

namespace {

// The performance counter in units per second (scale: 1000 for ms).
uint64_t CounterIn(uint64_t scale) {
  static const uint64_t frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return static_cast<uint64_t>(f.QuadPart);
  }();
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  uint64_t count = static_cast<uint64_t>(now.QuadPart);
  return count / frequency * scale + count % frequency * scale / frequency;
}

class WindowsClock : public Clock {
 public:
  // The performance counter rather than GetTickCount64, whose 10 to 16 ms
  // steps would let a 2 ms wait see no time pass.
  uint64_t TickMs() override { return CounterIn(1000u); }
  int64_t WallSeconds() override { return static_cast<int64_t>(std::time(nullptr)); }
  int64_t WallMs() override {
    // 100 ns steps since 1601-01-01.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000u) - 11644473600000LL;
  }
  // Sleep(0xFFFFFFFF) is INFINITE: the longest wait is 2^31-1 ms.
  void SleepMs(uint32_t ms) override { Sleep(static_cast<DWORD>(OsWaitMs(ms))); }
};

}  // namespace

uint64_t MonotonicUs() { return CounterIn(1000000u); }

void YieldThread() { SwitchToThread(); }

Clock& SystemClock() {
  static WindowsClock clock;
  return clock;
}

}  // namespace platform
