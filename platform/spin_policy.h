// Whether a wait for a peer's answer should first spin a little.
//
// A thread that sleeps until data arrives is woken by the system, and when
// its processor has gone idle that costs tens of microseconds: more than a
// fast peer (the virtual bench on loopback) takes to answer. A short spin
// that looks for the data and yields the processor each turn (so a peer on
// the same processor runs) catches such an answer awake. A spin that comes
// to nothing is lost processor time, so the policy spins only while it pays:
// after kMissesToStop spins in a row found nothing it stops, and then spins
// on one wait in kProbeEvery, to learn whether the peer has become fast.
#pragma once

#include <cstdint>

namespace platform {

class SpinPolicy {
 public:
  static constexpr uint32_t kMissesToStop = 8;
  static constexpr uint32_t kProbeEvery = 64;

  // 0 (the default): never spin.
  void SetBudgetUs(uint32_t budgetUs) {
    budgetUs_ = budgetUs;
    misses_ = 0;
    skipped_ = 0;
  }
  uint32_t budgetUs() const { return budgetUs_; }

  // Asked once before each wait: true when this wait spins first.
  bool ShouldSpin() {
    if (budgetUs_ == 0) return false;
    if (misses_ < kMissesToStop) return true;
    if (++skipped_ < kProbeEvery) return false;
    skipped_ = 0;
    return true;
  }
  // What the spin found: the data (paid) or nothing within the budget.
  void Record(bool paid) {
    if (paid) {
      misses_ = 0;
    } else if (misses_ < kMissesToStop) {
      ++misses_;
    }
  }

 private:
  uint32_t budgetUs_ = 0;
  uint32_t misses_ = 0;
  uint32_t skipped_ = 0;
};

}  // namespace platform
