// The stream and the counters on the bench's clock: scans due at the set
// rate, at most 100 values a block, and a counter that
// holds its source's count only once the source has had time to emit it.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/clock.h"
#include "sim/core/register_map.h"
#include "sim/virtual_device.h"

namespace {

class ProductionFeatures : public ::testing::Test {
 protected:
  ProductionFeatures() : scoped_(&clock_) {}
  void Write(uint16_t address, std::vector<uint16_t> values) {
    ASSERT_EQ(device_.WriteRegisters(address, values.size(), values.data()), 0) << address;
  }
  void WriteU32(uint16_t address, uint32_t value) {
    uint16_t regs[2];
    qxsim::PutU32(value, regs);
    Write(address, {regs[0], regs[1]});
  }
  void StartStream(float scansPerSecond = 1000.0f) {
    uint16_t rate[2];
    qxsim::PutF32(scansPerSecond, rate);
    Write(qxsim::kSimStreamSettingsRegister, {rate[0], rate[1], 0, 4});
    Write(4020, {0x0000, 0, 0x0100, 0, 0x0200, 0, 0x0F00, 0});
    WriteU32(qxsim::kSimStreamStartRegister, 0);
  }
  // One block: its count, and its values.
  uint32_t ReadBlock(std::vector<float>* values = nullptr, uint32_t* backlog = nullptr) {
    uint16_t block[qxsim::kSimStreamDataCount];
    EXPECT_EQ(device_.ReadRegisters(qxsim::kSimStreamDataRegister, 204, block), 0);
    uint32_t n = qxsim::GetU32(block);
    if (backlog != nullptr) *backlog = qxsim::GetU32(block + 2);
    if (values != nullptr) {
      values->clear();
      for (uint32_t k = 0; k < n && k < 100; ++k)
        values->push_back(qxsim::GetF32(block + 4 + 2 * k));
    }
    return n;
  }

  platform::FakeClock clock_;
  platform::ScopedClock scoped_;
  qxsim::VirtualDevice device_;
};

TEST_F(ProductionFeatures, StreamDeliversDueScansAtMostAHundredValuesABlock) {
  device_.WithCore([](qxsim::DeviceCore& core) {
    core.stream.SetReading([](int channel) { return static_cast<float>(channel); });
  });
  EXPECT_EQ(ReadBlock(), 0u) << "nothing before the start";
  StartStream();
  clock_.Advance(10);
  std::vector<float> values;
  EXPECT_EQ(ReadBlock(&values), 40u);
  EXPECT_EQ(values[4], 0.0f);
  EXPECT_EQ(values[5], 1.0f);
  EXPECT_EQ(values[7], 15.0f) << "slot 3 reads the channel its list names";
  clock_.Advance(1000);
  EXPECT_EQ(ReadBlock(), 100u) << "a backlog comes a hundred values at a time";
  WriteU32(qxsim::kSimStreamStopRegister, 0);
  clock_.Advance(10);
  EXPECT_EQ(ReadBlock(), 0u);
}

// Whatever rate a request writes, the scans due stay a count the device can
// hold (no float-to-integer overflow behind them).
TEST_F(ProductionFeatures, AnyStreamRateGivesACountableBacklog) {
  const struct {
    float rate;
    uint32_t values;
    uint32_t backlog;
  } cases[] = {
      {1e30f, 100, 4294967295u - 25},
      {INFINITY, 100, 4294967295u - 25},
      {NAN, 0, 0},
      {-5.0f, 0, 0},
      {0.0f, 0, 0},
  };
  for (const auto& c : cases) {
    StartStream(c.rate);
    clock_.Advance(10);
    uint32_t backlog = 7;
    EXPECT_EQ(c.values, ReadBlock(nullptr, &backlog)) << c.rate;
    EXPECT_EQ(c.backlog, backlog) << c.rate;
  }
}

TEST_F(ProductionFeatures, CounterHoldsItsSourceCountAfterItsTime) {
  device_.WithCore([](qxsim::DeviceCore& core) { core.counters.SetWrongCounters(1u << 3); });
  Write(qxsim::kSimCounterEnableRegister + 20, {0x00C0, 0x0007});
  Write(qxsim::kSimCounterEnableRegister + 30, {0x00C0, 0x0007});
  Write(qxsim::kSimCounterSourceRegister + 20, {0x00C2, 2, 0x19, 0x4B, 5468});
  Write(qxsim::kSimCounterSourceRegister + 30, {0x00C2, 2, 0x19, 0x4B, 5783});
  auto value = [this](int k) { return device_.ReadU32(qxsim::kSimCounterValueRegister + 10 * k); };
  clock_.Advance(150);
  EXPECT_LT(value(2), 5468u);
  clock_.Advance(150);
  EXPECT_EQ(value(2), 5468u);
  EXPECT_EQ(value(3), 5784u) << "the wrong-counter fault";
  EXPECT_EQ(value(0), 0u) << "a counter that nothing feeds";
  Write(qxsim::kSimCounterResetRegister, {0});
  EXPECT_EQ(value(2), 0u);
}

}  // namespace
