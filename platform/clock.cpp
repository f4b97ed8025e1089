#include "platform/clock.h"

#include <atomic>

namespace platform {

Clock& SystemClock();  // posix/clock.cpp or win32/clock.cpp

namespace {
std::atomic<Clock*> g_clock{nullptr};
}

Clock& GetClock() {
  Clock* c = g_clock.load();
  return c != nullptr ? *c : SystemClock();
}

void SetClock(Clock* clock) { g_clock.store(clock); }

}  // namespace platform
