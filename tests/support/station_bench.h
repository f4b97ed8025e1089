// What a whole station run needs besides the device: the bench meter on a
// pseudo-terminal reached as COM3 and the test server, both started with
// a bench, and a clock that skips the station's fixed waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "sim/bench.h"

// Real time, except that a sleep lasts at most realMs: the rest passes at
// once (and is added up). The bench meter answers well within 20 ms; a run
// that reads the meter only in some steps may set 0 for the others.
class SkipWaitsClock : public platform::Clock {
 public:
  explicit SkipWaitsClock(uint32_t realMs = 20) : realMs_(realMs), longRealMs_(realMs) {}
  // Sleeps of 100 ms or more (waits for an instrument) may get more.
  void SetRealMs(uint32_t realMs, uint32_t longRealMs) {
    realMs_ = realMs;
    longRealMs_ = longRealMs;
  }
  uint64_t TickMs() override;
  int64_t WallSeconds() override;
  void SleepMs(uint32_t ms) override;
  uint64_t skipped() const { return skipped_.load(); }

 private:
  std::atomic<uint32_t> realMs_;
  std::atomic<uint32_t> longRealMs_;
  std::atomic<uint64_t> skipped_{0};
};

// Asks for the meter (its link at linkPath) and the test server (its
// results in resultsFile), fast unless realWaits.
void AddStationPeers(qxsim::BenchOptions* options, const std::string& linkPath,
                     const std::string& resultsFile, bool realWaits);
// Starts the bench and points the station at it (QXM_USB_ENDPOINT,
// QXTS_ENDPOINT, QX_COM3); false with *error when it did not start.
bool StartStationBench(qxsim::Bench* bench, std::string* error);
// Forgets where the station bench was.
void ClearStationEnvironment();
