// The stream of scans: settings at 4002..4027 (scan rate F32 at 4002, values
// per scan U32 at 4004, the channel of slot k in the first byte of the four
// at 4020 + 2k), start 4990, stop 4992, and the data at 4500: each read of
// its 204 registers takes the scans due since the last one, as many whole
// scans as fit 100 values, under a count of values and the backlog.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "sim/core/register_map.h"
#include "sim/core/sim_clock.h"

namespace qxsim {

constexpr uint16_t kSimStreamSettingsRegister = 4002;
constexpr size_t kSimStreamSettingsCount = 26;  // 4002..4027
constexpr uint16_t kSimStreamDataRegister = 4500;
constexpr size_t kSimStreamDataCount = 204;
constexpr uint16_t kSimStreamStartRegister = 4990;
constexpr uint16_t kSimStreamStopRegister = 4992;
constexpr uint32_t kSimStreamRoom = 100;
// The scan whose channel-0 value the bad-value fault spoils.
constexpr uint64_t kSimStreamBadScan = 2500;

struct StreamFaults {
  bool badValue = false;       // slot 0 of scan kSimStreamBadScan reads 0 V
  bool oversizeBlock = false;  // blocks claim more values than they have room for
};

class Stream {
 public:
  // reading(channel): what analog input channel reads now.
  using AnalogReading = std::function<float(int channel)>;

  explicit Stream(const SimClock& clock) : clock_(clock) {}
  void Install(RegisterMap& map);
  void PowerOn();  // stopped, settings cleared

  void SetReading(AnalogReading reading) { reading_ = std::move(reading); }
  void SetFaults(const StreamFaults& faults) { faults_ = faults; }
  bool running() const { return running_; }
  uint64_t scansDelivered() const { return delivered_; }

 private:
  uint8_t ReadData(uint16_t address, size_t count, uint16_t* values);
  uint32_t ValuesPerScan() const;

  const SimClock& clock_;
  AnalogReading reading_;
  StreamFaults faults_;
  uint16_t settings_[kSimStreamSettingsCount] = {};
  uint16_t commands_[4] = {};  // start (2 registers), stop (2)
  bool running_ = false;
  uint64_t startMs_ = 0;
  uint64_t delivered_ = 0;  // scans handed out since the start
};

}  // namespace qxsim
