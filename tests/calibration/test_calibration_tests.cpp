// The calibration tests against a device: verdicts on stored records, the
// noise figures, that a failed access or a missing meter never reaches the
// flash, and what the meter is told and the operator is shown on the way.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "calibration/cal_constants.h"
#include "calibration/calibration_tests.h"
#include "calibration/range_cal.h"
#include "device/flash_map.h"
#include "instruments/meter.h"
#include "platform/clock.h"
#include "server/server_tests.h"
#include "sim/meter.h"
#include "tests/support/bench_device.h"
#include "tests/support/temp_dir.h"

namespace {

class CalibrationTestsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    context.handle = device.Handle();
    setenv("QX_COM3", "/nonexistent/qx-meter", 1);
  }
  void TearDown() override { unsetenv("QX_COM3"); }
  // A record of every nominal value, with the changes given.
  void StoreRecord(std::vector<std::pair<size_t, float>> changes) {
    float values[kCalConstantCount];
    for (size_t i = 0; i < kCalConstantCount; ++i) {
      values[i] = static_cast<float>(CalConstantTable[i].nominal);
    }
    for (auto& c : changes) values[c.first] = c.second;
    uint8_t record[kCalRecordBytes];
    EncodeCalibrationRecord(values, record);
    device.model().PokeFlash(kCalibrationPageBase, Bytes(record, record + sizeof record));
  }
  // The request after `after` good ones is lost (no answer) or drops the link.
  void FailAfter(int after, bool lost) {
    LinkFaults faults;
    faults.after = after;
    faults.drop = lost;
    faults.noAnswer = !lost;
    device.SetFaults(faults);
  }
  void FillFlash(uint32_t address, size_t length) {
    if (length > 0) device.model().PokeFlash(address, Bytes(length, 0xFF));
  }
  bool FlashUntouched() {
    return device.model().flashEraseCount() + device.model().flashWriteCount() == 0;
  }
  // Runs test with standard output kept in said.
  uint32_t RunQuietly(TestFunction test) {
    testing::internal::CaptureStdout();
    uint32_t result = test(&context);
    said = testing::internal::GetCapturedStdout();
    return result;
  }
  // The bench's meter where COM3 looks, never answering: each Open sends its
  // three attempts of five lines, and every reading times out.
  void AttachSilentMeter() {
    qxsim::MeterOptions options;
    options.linkPath = meterDir.File("meter");
    options.fault = qxsim::MeterFault::kSilent;
    options.clock = qxsim::SimClock(&platform::SystemClock());
    meter = std::make_unique<qxsim::BenchMeter>(options, [] { return 0.0; });
    std::string error;
    ASSERT_TRUE(meter->Start(&error)) << error;
    setenv("QX_COM3", options.linkPath.c_str(), 1);
  }

  platform::FakeClock clock;
  platform::ScopedClock useClock{&clock};
  BenchDevice device;
  TestContext context;
  std::string said;
  TempDir meterDir;
  std::unique_ptr<qxsim::BenchMeter> meter;
};

struct CheckCase {
  const char* what;
  std::vector<std::pair<size_t, float>> changes;  // none and blank: an erased page
  bool blank;
  uint8_t isMax;
  uint32_t mask;
  uint32_t level;
  uint32_t result;
  const char* msg;
};

TEST_F(CalibrationTestsTest, CheckCalibrationJudgesTheStoredRecord) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<std::pair<size_t, float>> noHr = {
      {16, 0.f}, {17, 0.f}, {18, 0.f}, {19, 0.f}, {20, 0.f}, {21, 0.f}, {22, 0.f}, {23, 0.f},
      {24, 0.f}, {25, 0.f}, {26, 0.f}, {27, 0.f}, {28, 0.f}, {29, 0.f}, {30, 0.f}, {31, 0.f}};
  const CheckCase cases[] = {
      {"blank", {}, true, 0, 0, 4, 0, "Calibration Blank"},
      {"blank, calibrating", {}, true, 0, 0x80, 2, 0, "Calibration Blank"},
      {"DAC1 offset", {{35, 250.f}}, false, 0, 0, 5, 1, "Cal Failed: DAC1 Offset 2.500e+02"},
      {"DAC1 offset, calibrating",
       {{35, 250.f}},
       false,
       0,
       0x80,
       2,
       1,
       "Cal Failed: DAC1 Offset 2.500e+02"},
      {"NaN", {{0, nan}}, false, 0, 0, 5, 1, "Cal Failed: HS 10.0V PSlope nan"},
      {"no HR converter", noHr, false, 0, 0, 2, 0, "Calibration Good"},
      {"HR block missing on -Max", noHr, false, 1, 0, 5, 1,
       "Cal Failed: HR 10.0V PSlope 0.000e+00"},
  };
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(c.what);
    device.model().BlankFlash(kCalibrationPageBase, kFlashPageSize);
    if (!c.blank) StoreRecord(c.changes);
    context.isMax = c.isMax;
    context.mask = c.mask;
    EXPECT_EQ(CheckCalibration(&context), c.result);
    EXPECT_EQ(context.EL, c.level);
    EXPECT_STREQ(context.Msg, c.msg);
  }
  EXPECT_TRUE(FlashUntouched()) << "checking changes nothing";
  FailAfter(0, true);
  EXPECT_EQ(CheckCalibration(&context), 1u);
  EXPECT_STREQ(context.Msg, "Comm Error: (1014)");
  EXPECT_EQ(context.EL, 5u);
}

// A record cut while it was written: pieces still erased, or a constant
// that is no number. A run that will calibrate (jig and calibration bits)
// erases it at once; any other fails as for a bad constant.
TEST_F(CalibrationTestsTest, ATornRecordIsErasedOnlyWhenTheRunWillCalibrate) {
  const struct {
    const char* what;
    uint32_t erasedFrom;  // kCalRecordBytes: none
    bool nanConstant;
    uint32_t mask;
    uint32_t level;
    const char* msg;
    bool erased;
  } cases[] = {
      {"tail erased", 192, false, 0x40000, 5, "Calibration Torn: erased from byte 192", false},
      {"tail erased, 0x80 alone", 192, false, 0x80, 2, "Calibration Torn: erased from byte 192",
       false},
      {"tail erased, calibrating", 192, false, 0x20080, 2, "Calibration Torn: erased from byte 192",
       true},
      {"half erased, calibrating", 128, false, 0x20080, 2, "Calibration Torn: erased from byte 128",
       true},
      {"NaN, calibrating", kCalRecordBytes, true, 0x20080, 2, "Cal Failed: HS 0.10V Center nan",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StoreRecord(c.nanConstant ? std::vector<std::pair<size_t, float>>{{10, NAN}}
                              : std::vector<std::pair<size_t, float>>{});
    FillFlash(kCalibrationPageBase + c.erasedFrom, kCalRecordBytes - c.erasedFrom);
    const uint64_t erases = device.model().flashEraseCount();
    context.mask = c.mask;
    context.recordNote[0] = '\0';
    CheckCalibration(&context);
    EXPECT_EQ(context.EL, c.level);
    EXPECT_STREQ(context.Msg, c.msg);
    EXPECT_EQ(device.model().flashEraseCount() - erases, c.erased ? 1u : 0u);
    EXPECT_EQ(device.Flash(kCalibrationPageBase, 1)[0] == 0xFF, c.erased);
    EXPECT_EQ(context.recordNote[0] != '\0', c.erased);
  }
}

TEST_F(CalibrationTestsTest, NoiseFiguresByEditionAndCommErrors) {
  // The model's own noise: well inside every limit, one or two decimals.
  EXPECT_EQ(AInNoiseTest(&context), 0u);
  EXPECT_TRUE(
      std::regex_match(context.Msg, std::regex(R"(Noise: \d+\.\d,\d+\.\d,\d+\.\d\d,\d+\.\d\d)")))
      << context.Msg;
  EXPECT_EQ(context.EL, 2u);
  context.isMax = 1;
  EXPECT_EQ(AInNoiseTest(&context), 0u);
  EXPECT_TRUE(std::regex_match(
      context.Msg, std::regex(R"(Noise: \d+\.\d,\d+\.\d,\d+\.\d\d,\d+\.\d\d,\d+\.\d\d,\d+\.\d\d)")))
      << context.Msg;
  // Measurement 5's configuration fails; then a reading in the middle of a batch.
  FailAfter(4 * 129, true);
  EXPECT_EQ(AInNoiseTest(&context), 1u);
  EXPECT_STREQ(context.Msg, "Comm Error: (1014)");
  EXPECT_EQ(context.EL, 5u);
  FailAfter(50, false);
  EXPECT_EQ(AInNoiseTest(&context), 1u);
  EXPECT_STREQ(context.Msg, "Comm Error: (1012)");
}

TEST_F(CalibrationTestsTest, CalibrateNeverWritesWithoutMeterOrWithAFailedAccess) {
  // Without a meter every slope is NaN, which fails the first constant.
  EXPECT_EQ(RunQuietly(Calibrate), 1u);
  EXPECT_EQ(context.EL, 5u);
  EXPECT_STREQ(context.Msg, "Cal Failed: HS 10.0V PSlopenan, 3.158058e-04, ");
  // A read failing in the middle of a range's samples is never averaged.
  FailAfter(300, true);
  EXPECT_EQ(RunQuietly(Calibrate), 1u);
  EXPECT_STREQ(context.Msg, "Comm Error: (1014)");
  FailAfter(20, false);
  EXPECT_EQ(RunQuietly(AccuracyCheck), 1u);
  EXPECT_STREQ(context.Msg, "Comm Error: (1012)");
  EXPECT_TRUE(FlashUntouched());
  uint16_t setup = 0;
  ASSERT_EQ(device.model().ReadRegisters(48005, 1, &setup), 0);
  EXPECT_EQ(setup, 1u);
}

TEST_F(CalibrationTestsTest, AFailedAccessStillSendsTheMeterBackToLocal) {
  AttachSilentMeter();
  FailAfter(0, true);
  size_t lines = 0;
  for (TestFunction test : {Calibrate, AccuracyCheck}) {
    EXPECT_EQ(RunQuietly(test), 1u);
    EXPECT_STREQ(context.Msg, "Comm Error: (1014)");
    lines += 3 * 5 + 1;
    ASSERT_TRUE(meter->WaitForCommands(lines, 5000)) << meter->state().commands.size();
    EXPECT_EQ(meter->state().commands.back(), "SYST:LOC");
    EXPECT_FALSE(meter->state().remote);
  }
}

TEST_F(CalibrationTestsTest, ASilentMeterIsNamedOnceWithItsPort) {
  AttachSilentMeter();
  EXPECT_EQ(RunQuietly(Calibrate), 1u);
  EXPECT_STREQ(context.Msg, "Cal Failed: HS 10.0V PSlopenan, 3.158058e-04, ");
  EXPECT_EQ(said, "No reading from the bench meter on COM3 (" + meterDir.File("meter") +
                      ") within 21 s\r\n");
}

using CalibrationTestsDeathTest = CalibrationTestsTest;
BenchDevice* g_watched = nullptr;

// The analog setup goes out before the range is looked up, so a bad range
// stops the program after it (the exit handler reads the register back).
TEST_F(CalibrationTestsDeathTest, TheSetupIsWrittenBeforeABadRangeStopsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  g_watched = &device;
  EXPECT_EXIT(
      {
        std::atexit([] {
          uint16_t setup = 0;
          g_watched->model().ReadRegisters(48005, 1, &setup);
          std::fprintf(stderr, "analog setup %u", static_cast<unsigned>(setup));
        });
        Meter unopened(kMeterPortIndex, 0);
        RangeCalRecord rec = {};
        rec.range = 4;
        MeasureRangeCal(unopened, device.Handle(), rec);
      },
      testing::ExitedWithCode(1), "^analog setup 1$");
}

TEST_F(CalibrationTestsTest, ReportWithoutAServerLinkIsFatal) {
  EXPECT_EQ(ReportCalibration(&context), 1u);
  EXPECT_EQ(context.EL, 5u);
  EXPECT_STREQ(context.Msg, kNoServerLinkText);
}

}  // namespace
