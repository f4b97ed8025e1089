// Calibration through the harness against the bench: a fresh device of each
// edition, its meter, jig and test server. The station's settling waits are
// skipped on the clock (and added up), everything else runs as on the line.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "calibration/cal_constants.h"
#include "calibration/calibration_tests.h"
#include "device/flash_map.h"
#include "harness/harness.h"
#include "platform/clock.h"
#include "sim/bench.h"
#include "station/station_table.h"
#include "tests/support/station_bench.h"
#include "tests/support/temp_dir.h"

namespace {

const char* const kCalibrationRows[] = {
    "Open Quenlox",      "Connect to QXTest Server", "Read Test Jig Info",
    "Check Calibration", "AIn Noise 16-bit counts",  "Calibrate",
    "Report Calibraion"};

// The table's own rows and masks, without the production rows that need
// more of the bench than the analog front end.
uint32_t CalibrationList(TestContext* context, TestRecord* list) {
  uint32_t result = GetTestList(context, list);
  uint32_t kept = 0;
  for (uint32_t i = 0; i < context->testCount; ++i) {
    for (const char* name : kCalibrationRows) {
      if (std::strcmp(list[i].name, name) == 0) list[kept++] = list[i];
    }
  }
  context->testCount = kept;
  return result;
}

const DeviceTypeEntry kTypes[] = {{"GetTestList", kZ5DeviceType, CalibrationList},
                                  {nullptr, 0, nullptr}};

class NullSink : public ReportSink {
 public:
  void Show(const char*, size_t) override {}
};

constexpr uint32_t kCalibrationMask = 0x40000 | 0x20000 | 0x10000 | 0x80;

class CalibrationRunTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    // QX_REAL_WAITS=1: the line's own timing (waits and meter), to measure a run.
    realWaits_ = std::getenv("QX_REAL_WAITS") != nullptr;
    if (!realWaits_) useClock_ = std::make_unique<platform::ScopedClock>(&clock_);
  }
  void StartBench(qxsim::BenchOptions options) {
    options.device.identity = qxsim::StartingIdentity::kBlank;
    options.device.isMax = GetParam();
    AddStationPeers(&options, dir_.File("com3"), dir_.File("results"), realWaits_);
    bench_ = std::make_unique<qxsim::Bench>(options);
    std::string error;
    ASSERT_TRUE(StartStationBench(bench_.get(), &error)) << error;
  }
  void TearDown() override {
    if (bench_ != nullptr) bench_->Stop();
    useClock_.reset();
    ClearStationEnvironment();
  }
  std::unique_ptr<TestHarness> Run(uint32_t mask, bool addAccuracy) {
    auto harness = std::make_unique<TestHarness>(kZ5DeviceType, mask, 1, &sink_, kTypes);
    if (addAccuracy) {
      EXPECT_TRUE(harness->AppendTest("AccuracyCheck", AccuracyCheck));
    }
    harness->Run();
    return harness;
  }
  static const TestRecord& Row(const TestHarness& harness, const char* name) {
    for (uint32_t i = 0; i < harness.testCount(); ++i) {
      if (std::strcmp(harness.list()[i].name, name) == 0) return harness.list()[i];
    }
    static TestRecord none;
    ADD_FAILURE() << name << " did not run";
    return none;
  }
  std::vector<uint8_t> Record() {
    return bench_->device().PeekFlash(kCalibrationPageBase, kCalRecordBytes);
  }
  std::string Results() {
    std::ifstream in(dir_.File("results"));
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  SkipWaitsClock clock_;
  bool realWaits_ = false;
  std::unique_ptr<platform::ScopedClock> useClock_;
  NullSink sink_;
  TempDir dir_;
  std::unique_ptr<qxsim::Bench> bench_;
};

TEST_P(CalibrationRunTest, FreshDeviceIsCalibratedReportedAndThenGood) {
  const bool isMax = GetParam();
  StartBench(qxsim::BenchOptions());
  // Off nominal as built: the accuracy check fails before calibrating.
  auto before = Run(0x400, true);
  const TestRecord& accBefore = Row(*before, "AccuracyCheck");
  EXPECT_EQ(accBefore.status, kLevelFatal);
  EXPECT_EQ(std::string(accBefore.details).rfind("Acc Err: HS 0 ", 0), 0u) << accBefore.details;
  before.reset();

  const uint64_t skippedBefore = clock_.skipped();
  const auto start = std::chrono::steady_clock::now();
  auto run = Run(kCalibrationMask, true);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(run->passed());
  EXPECT_STREQ(Row(*run, "Check Calibration").details, "Calibration Blank");
  EXPECT_EQ(Row(*run, "Check Calibration").status, kLevelPassed);
  const std::string noise = Row(*run, "AIn Noise 16-bit counts").details;
  EXPECT_EQ(Row(*run, "AIn Noise 16-bit counts").status, kLevelPassed) << noise;
  int commas = 0;
  for (char ch : noise) commas += ch == ',';
  EXPECT_EQ(commas, isMax ? 5 : 3) << noise;
  EXPECT_STREQ(Row(*run, "Calibrate").details, "Cal Constants Written");
  EXPECT_STREQ(Row(*run, "Report Calibraion").details, "Sent 41 cal points. ");
  EXPECT_EQ(Row(*run, "AccuracyCheck").status, kLevelPassed) << Row(*run, "AccuracyCheck").details;

  // The record is the encoding of the constants, byte for byte, and each is
  // close to what the device really is.
  std::vector<uint8_t> expected(kCalRecordBytes);
  EncodeCalibrationRecord(CalConstants, expected.data());
  EXPECT_EQ(Record(), expected);
  const qxsim::AnalogTruth truth =
      bench_->device().WithCore([](qxsim::DeviceCore& core) { return core.analog.truth(); });
  for (int c = 0; c < (isMax ? 2 : 1); ++c) {
    for (int r = 0; r < 4; ++r) {
      const float* v = CalConstants + 16 * c + 4 * r;
      EXPECT_NEAR(v[0], truth.adc[c][r].posSlope, truth.adc[c][r].posSlope * 2e-4) << c << r;
      EXPECT_NEAR(v[1], truth.adc[c][r].negSlope, -truth.adc[c][r].negSlope * 2e-4) << c << r;
      EXPECT_NEAR(v[2], truth.adc[c][r].center, 1.0) << c << r;
    }
  }
  if (!isMax) {
    const std::vector<uint8_t> record = Record();
    EXPECT_EQ(std::vector<uint8_t>(record.begin() + 64, record.begin() + 128),
              std::vector<uint8_t>(64, 0));
  }
  EXPECT_NEAR(CalConstants[kCalDac0Slope], truth.dacSlope[0], truth.dacSlope[0] * 1e-3);
  EXPECT_NEAR(CalConstants[kCalSource10uA], truth.source10uA, truth.source10uA * 1e-3);
  EXPECT_NEAR(CalConstants[kCalSource200uA], truth.source200uA, truth.source200uA * 1e-3);

  // The server's results file holds the exact line.
  char serial[17];
  std::snprintf(serial, sizeof serial, "%016llx",
                static_cast<unsigned long long>(run->context()->serialNumber));
  std::string line = std::string("cal 0x") + serial + " {";
  for (size_t i = 0; i < kCalConstantCount; ++i) {
    char value[64];
    std::snprintf(value, sizeof value, ":%.09f", static_cast<double>(CalConstants[i]));
    line += std::string(i > 0 ? ";" : "") + CalConstantTable[i].name + value;
  }
  EXPECT_NE(Results().find(line + "}\n"), std::string::npos) << Results();
  std::printf("[ timing   ] %s calibration run: %.1f s, %.1f s of fixed waits skipped\n",
              isMax ? "-Max" : "plain", seconds, (clock_.skipped() - skippedBefore) / 1000.0);
  run.reset();

  auto second = Run(kCalibrationMask & ~0x80u, false);
  EXPECT_STREQ(Row(*second, "Check Calibration").details, "Calibration Good");
}

struct FaultCase {
  const char* what;
  void (*apply)(qxsim::BenchOptions*);
  const char* row;
  uint32_t level;
  const char* details;  // the start of the row's details
};

TEST_P(CalibrationRunTest, FaultsEndTheRunWithTheirTextAndLeaveTheFlashBlank) {
  const FaultCase cases[] = {
      {"constants out of tolerance",
       [](qxsim::BenchOptions* o) { o->device.analog.spreadScale = 6; }, "Calibrate", kLevelFatal,
       "Cal Failed: HS "},
      {"noisy input", [](qxsim::BenchOptions* o) { o->device.analog.noisyChannel = 15; },
       "AIn Noise 16-bit counts", kLevelFatal, "Noise: "},
      {"dead current source",
       [](qxsim::BenchOptions* o) { o->device.analog.deadCurrentSource = true; }, "Calibrate",
       kLevelFatal, "Cal Failed: IS 10uA"},
      {"jig resistor", [](qxsim::BenchOptions* o) { o->jig.resistor10uAError = 0.03; }, "Calibrate",
       kLevelFatal, "Cal Failed: IS 10uA"},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.what);
    qxsim::BenchOptions options;
    c.apply(&options);
    StartBench(options);
    auto run = Run(kCalibrationMask, false);
    const TestRecord& row = Row(*run, c.row);
    EXPECT_EQ(row.status, c.level);
    const std::string details = row.details;
    EXPECT_EQ(details.rfind(c.details, 0), 0u) << details;
    if (std::strcmp(c.row, "Calibrate") == 0) {
      EXPECT_EQ(details.substr(details.size() - 2), ", ") << details;  // the nominal closes it
    }
    EXPECT_EQ(Record(), std::vector<uint8_t>(kCalRecordBytes, 0xFF));
    run.reset();
    bench_->Stop();
    bench_.reset();
  }
}

INSTANTIATE_TEST_SUITE_P(Editions, CalibrationRunTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Max") : std::string("Plain");
                         });

}  // namespace
