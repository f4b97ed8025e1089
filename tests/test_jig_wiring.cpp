// The jig's wiring on the virtual bench as the station drives it: the meter
// sees the source voltage, attenuated while line 5 is driven low.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "device/registers.h"
#include "qxm/qxm.h"
#include "sim/bench.h"
#include "sim/dio_registers.h"
#include "sim/meter.h"

namespace {

class JigWiringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(bench_.Start(&error)) << error;
    setenv("QXM_USB_ENDPOINT", bench_.usbEndpoint().c_str(), 1);
    ASSERT_EQ(QXM_Open("z5 device type", "usb", "any identifier", &handle_), 0);
  }
  void TearDown() override {
    QXM_Close(handle_);
    unsetenv("QXM_USB_ENDPOINT");
  }
  qxsim::Bench bench_;
  int handle_ = 0;
};

TEST_F(JigWiringTest, LineFiveLowAttenuatesTheSourceTheMeterSees) {
  qxsim::MeterInput input = qxsim::DeviceMeterInput(
      bench_.device(), [this] { return qxsim::LineDrivenLow(bench_.device(), 5); });
  ASSERT_EQ(WriteFloat(handle_, 30014, 1.76f), 0);

  // Line 5 driven high: the direct path.
  ASSERT_EQ(WriteLinePair(handle_, 5, 1, 1), 0);
  EXPECT_FALSE(qxsim::LineDrivenLow(bench_.device(), 5));
  EXPECT_NEAR(input(), 1.76, 1e-6);

  // Driven low: the attenuated path.
  ASSERT_EQ(WriteLinePair(handle_, 5, 1, 0), 0);
  EXPECT_TRUE(qxsim::LineDrivenLow(bench_.device(), 5));
  EXPECT_NEAR(input(), qxsim::JigMeterVolts(1.76, true), 1e-9);
  EXPECT_LT(input(), 0.2);

  // Low but an input: nothing drives the line, no attenuation.
  ASSERT_EQ(WriteLinePair(handle_, 5, 0, 0), 0);
  EXPECT_FALSE(qxsim::LineDrivenLow(bench_.device(), 5));
  // Other lines do not switch the attenuator.
  ASSERT_EQ(WriteLinePair(handle_, 4, 1, 0), 0);
  EXPECT_FALSE(qxsim::LineDrivenLow(bench_.device(), 5));
  EXPECT_FALSE(qxsim::LineDrivenLow(bench_.device(), 99));
}

}  // namespace
