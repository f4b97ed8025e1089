// Wall clock, millisecond ticks and sleeps. Station code takes time only from
// here, so that tests can replace the clock and run second-long waits in
// microseconds.
#pragma once

#include <atomic>
#include <cstdint>

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic milliseconds since an arbitrary start.
  virtual uint64_t TickMs() = 0;
  // Seconds since 1970-01-01 UTC.
  virtual int64_t WallSeconds() = 0;
  // Milliseconds since 1970-01-01 UTC; a clock without them gives whole seconds.
  virtual int64_t WallMs() { return WallSeconds() * 1000; }
  virtual void SleepMs(uint32_t ms) = 0;
};

// The clock in force: the system clock unless a test replaced it.
Clock& GetClock();
// The system clock itself, for a part that must keep real time while a test
// fakes the clock in force.
Clock& SystemClock();
// Replaces the clock; nullptr restores the system clock. The caller keeps
// ownership and must restore before the clock goes away.
void SetClock(Clock* clock);

inline uint64_t TickMs() { return GetClock().TickMs(); }
inline int64_t WallSeconds() { return GetClock().WallSeconds(); }
inline int64_t WallMs() { return GetClock().WallMs(); }
inline void SleepMs(uint32_t ms) { GetClock().SleepMs(ms); }

// The system's monotonic microseconds, whatever clock is in force: for
// spins of a few microseconds, which a fake clock must not stretch.
uint64_t MonotonicUs();
// Gives the processor to another thread that is ready to run, if any.
void YieldThread();

// A clock that moves only when told to, or when someone sleeps on it.
class FakeClock : public Clock {
 public:
  explicit FakeClock(uint64_t startTickMs = 1000, int64_t startWallSeconds = 1700000000)
      : tickMs_(startTickMs), wallMs_(startWallSeconds * 1000) {}
  FakeClock(const FakeClock& other) { *this = other; }
  FakeClock& operator=(const FakeClock& other) {
    tickMs_ = other.tickMs_.load();
    wallMs_ = other.wallMs_.load();
    sleeps_ = other.sleeps_.load();
    return *this;
  }
  uint64_t TickMs() override { return tickMs_.load(); }
  int64_t WallSeconds() override { return wallMs_.load() / 1000; }
  int64_t WallMs() override { return wallMs_.load(); }
  void SleepMs(uint32_t ms) override {
    ++sleeps_;
    Advance(ms);
  }
  void Advance(uint64_t ms) {
    tickMs_ += ms;
    wallMs_ += static_cast<int64_t>(ms);
  }
  uint64_t sleepCount() const { return sleeps_.load(); }

 private:
  // Bench threads read the clock while a test steps it.
  std::atomic<uint64_t> tickMs_;
  std::atomic<int64_t> wallMs_;
  std::atomic<uint64_t> sleeps_{0};
};

// Installs a clock for the life of a scope (tests).
class ScopedClock {
 public:
  explicit ScopedClock(Clock* clock) { SetClock(clock); }
  ~ScopedClock() { SetClock(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
};

// The longest single wait handed to the operating system: its waits take a
// signed 32-bit count, where a larger value turns negative (POSIX) or all
// ones (Win32) and means "wait forever".
constexpr uint32_t kMaxOsWaitMs = 0x7FFFFFFF;
inline int OsWaitMs(uint32_t ms) { return static_cast<int>(ms < kMaxOsWaitMs ? ms : kMaxOsWaitMs); }

// A point in time a wait must not pass, on the clock in force when made.
class Deadline {
 public:
  explicit Deadline(uint32_t timeoutMs) : end_(TickMs() + timeoutMs) {}
  bool Expired() const { return TickMs() >= end_; }
  uint32_t RemainingMs() const {
    uint64_t now = TickMs();
    return now >= end_ ? 0 : static_cast<uint32_t>(end_ - now);
  }

 private:
  uint64_t end_;
};

}  // namespace platform
