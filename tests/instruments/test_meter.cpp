// The bench meter: Meter against the bench's pseudo-terminal meter in this
// process, its number parser, and the bench meter's own protocol.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "instruments/meter.h"
#include "platform/clock.h"
#include "sim/bench.h"
#include "sim/meter.h"
#include "tests/support/temp_dir.h"

namespace {

// Fake time that also lets a little real time pass on every sleep, so that
// the bench's meter thread can answer while Meter sleeps out its seconds.
class BenchClock : public platform::Clock {
 public:
  uint64_t TickMs() override { return tickMs_.load(); }
  int64_t WallSeconds() override { return 1700000000 + static_cast<int64_t>(tickMs_ / 1000); }
  void SleepMs(uint32_t ms) override {
    tickMs_ += ms;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms / slowdown_));
  }
  void Advance(uint64_t ms) { tickMs_ += ms; }
  // Real milliseconds per slept millisecond are 1 / divisor.
  void SetDivisor(uint32_t divisor) { slowdown_ = divisor; }

 private:
  std::atomic<uint32_t> slowdown_{20};
  std::atomic<uint64_t> tickMs_{1000};
};

// Readings land in a buffer prefilled with this, so that untouched entries show.
constexpr double kUntouched = -12345.0;

void Prefill(double* values, int n) {
  for (int i = 0; i < n; ++i) values[i] = kUntouched;
}

class MeterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    link_ = dir_.File("meter");
    use_ = std::make_unique<platform::ScopedClock>(&clock_);
  }
  void TearDown() override {
    meter_.reset();
    if (bench_) bench_->Stop();
    use_.reset();
    unsetenv("QX_COM3");
  }

  // The bench's meter, measuring volts_ (or input), linked where COM3 looks.
  void StartBench(uint32_t msPerReading = 1, uint32_t charsPerSecond = 0,
                  qxsim::MeterInput input = nullptr) {
    qxsim::MeterOptions options;
    options.linkPath = link_;
    options.msPerReading = msPerReading;
    options.charsPerSecond = charsPerSecond;
    // The station's time is faked; the bench meter keeps real time.
    options.clock = qxsim::SimClock(&platform::SystemClock());
    if (!input) input = [this] { return volts_.load(); };
    bench_ = std::make_unique<qxsim::BenchMeter>(options, std::move(input));
    std::string error;
    ASSERT_TRUE(bench_->Start(&error)) << error;
    setenv("QX_COM3", link_.c_str(), 1);
  }
  void OpenMeter() {
    meter_ = std::make_unique<Meter>(kMeterPortIndex, 0);
    testing::internal::CaptureStdout();
    meter_->Open();
    std::string said = testing::internal::GetCapturedStdout();
    ASSERT_EQ(said, "");
    ASSERT_TRUE(meter_->IsOpen());
  }
  // Waits until the bench has received count lines since it started.
  void BenchReceived(size_t count) {
    ASSERT_TRUE(bench_->WaitForCommands(count, 5000))
        << "the bench got " << bench_->state().commands.size();
  }
  // Polls GetReadings (real time, bounded) until done; true when each call
  // before the last left the values untouched.
  bool CollectUntilDone(double* values, int count, int* calls) {
    bool done = false;
    bool untouchedBefore = true;
    *calls = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < end) {
      EXPECT_EQ(meter_->GetReadings(values, count, &done), 0);
      ++*calls;
      if (!done) {
        for (int i = 0; i < count; ++i)
          untouchedBefore = untouchedBefore && values[i] == kUntouched;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    EXPECT_TRUE(done) << "no answer within 10 s";
    return untouchedBefore;
  }

  BenchClock clock_;
  std::unique_ptr<platform::ScopedClock> use_;
  TempDir dir_;
  std::string link_;
  std::atomic<double> volts_{5.0};
  std::unique_ptr<qxsim::BenchMeter> bench_;
  std::unique_ptr<Meter> meter_;
};

TEST_F(MeterTest, OpenBringsTheMeterIntoRemoteModeAndKeepsItsIdentification) {
  StartBench();
  OpenMeter();
  EXPECT_STREQ(meter_->Idn(), "QXSIM,DMM-65,SIM0001,1.2-0.4\n");
  EXPECT_EQ(meter_->NumSamples(), 1);
  EXPECT_FALSE(meter_->Configured());
  BenchReceived(5);
  qxsim::MeterState s = bench_->state();
  const char* const expected[] = {"SYST:LOC", "SYST:REM", "*RST", "*CLS", "*IDN?"};
  ASSERT_EQ(s.commands.size(), 5u) << "a second identification attempt after an answer";
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(s.commands[i], expected[i]);
  EXPECT_TRUE(s.remote);
  EXPECT_EQ(s.errors, 0u);
  // The waits of one attempt: 500 + 200 + 400 + 500 + 500 ms.
  EXPECT_EQ(clock_.TickMs(), 1000u + 2100u);

  meter_->Close();
  EXPECT_FALSE(meter_->IsOpen());
  BenchReceived(6);
  EXPECT_EQ(bench_->state().commands.back(), "SYST:LOC");
  EXPECT_FALSE(bench_->state().remote);
}

TEST_F(MeterTest, ASilentMeterGetsThreeAttemptsAndIsNotReported) {
  StartBench();
  bench_->SetFault(qxsim::MeterFault::kSilent);
  OpenMeter();
  EXPECT_STREQ(meter_->Idn(), "");
  EXPECT_EQ(clock_.TickMs(), 1000u + 3 * 2100u);
  BenchReceived(15);
  EXPECT_EQ(bench_->state().commands.size(), 15u);
}

TEST_F(MeterTest, RangeCommandsGoOutUnchangedAndOtherRangesAreRefused) {
  StartBench();
  OpenMeter();
  const int refused[] = {-1, 3, 4, 100};
  for (int range : refused) {
    EXPECT_EQ(meter_->Configure(range), kMeterBadArgument) << range;
    EXPECT_FALSE(meter_->Configured()) << range;
  }
  const double fullScale[] = {10.0, 1.0, 0.1};
  size_t sent = 5;
  for (int range = 0; range < kMeterRangeCount; ++range) {
    EXPECT_EQ(meter_->Configure(range), 0);
    EXPECT_TRUE(meter_->Configured());
    BenchReceived(++sent);
    qxsim::MeterState s = bench_->state();
    // Nothing went out for the refused ranges: each valid one is the next line.
    ASSERT_EQ(s.commands.size(), sent);
    EXPECT_EQ(s.commands.back() + "\n", kMeterRangeCommands[range]);
    EXPECT_DOUBLE_EQ(s.rangeVolts, fullScale[range]);
    EXPECT_EQ(s.errors, 0u);
  }
}

TEST_F(MeterTest, TenReadingsArriveWholeAndOneGetReadingsTakesThemAll) {
  // Real pacing of the line, so that the answer arrives in pieces; the
  // identification then needs more of the real time that Open sleeps.
  clock_.SetDivisor(4);
  StartBench(20, 872);
  OpenMeter();
  ASSERT_EQ(meter_->Configure(0), 0);
  ASSERT_EQ(meter_->SetNumSamples(10), 0);
  BenchReceived(7);
  EXPECT_EQ(bench_->state().commands.back(), "Trig:Count 10");

  double values[12];
  Prefill(values, 12);
  meter_->StartRead();
  int calls = 0;
  EXPECT_TRUE(CollectUntilDone(values, 10, &calls)) << "values written before the answer was whole";
  EXPECT_GT(calls, 1);
  EXPECT_EQ(meter_->LastReadResult(), MeterReadResult::kOk);
  for (int i = 0; i < 10; ++i) EXPECT_NEAR(values[i], 5.0, 1e-3) << i;
  EXPECT_EQ(values[10], kUntouched);
  EXPECT_EQ(bench_->state().answersSent, 1u);
  // Readings carry the meter's noise: not ten copies of one number.
  bool varied = false;
  for (int i = 1; i < 10; ++i) varied = varied || values[i] != values[0];
  EXPECT_TRUE(varied);

  // The next round measures afresh.
  volts_ = -2.5;
  Prefill(values, 12);
  meter_->StartRead();
  CollectUntilDone(values, 10, &calls);
  for (int i = 0; i < 10; ++i) EXPECT_NEAR(values[i], -2.5, 1e-3) << i;
}

TEST_F(MeterTest, MoreThanSixtyFourSamplesAreCutWithTheMessage) {
  StartBench();
  OpenMeter();
  ASSERT_EQ(meter_->Configure(1), 0);
  volts_ = 0.75;
  testing::internal::CaptureStdout();
  EXPECT_EQ(meter_->SetNumSamples(100), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "From SetNumSamples: Meter class only built to handle 64 samples at a time.\r\n");
  EXPECT_EQ(meter_->NumSamples(), 64);
  BenchReceived(7);
  EXPECT_EQ(bench_->state().commands.back(), "Trig:Count 64");
  EXPECT_EQ(bench_->state().triggerCount, 64);

  double values[kMeterMaxSamples + 1];
  Prefill(values, kMeterMaxSamples + 1);
  meter_->StartRead();
  int calls = 0;
  CollectUntilDone(values, kMeterMaxSamples, &calls);
  EXPECT_EQ(meter_->LastReadResult(), MeterReadResult::kOk);
  for (int i = 0; i < kMeterMaxSamples; ++i) EXPECT_NEAR(values[i], 0.75, 1e-4) << i;
  EXPECT_EQ(values[kMeterMaxSamples], kUntouched);
}

TEST_F(MeterTest, SampleCountsBelowOneAreRefused) {
  StartBench();
  OpenMeter();
  ASSERT_EQ(meter_->Configure(0), 0);
  ASSERT_EQ(meter_->SetNumSamples(4), 0);
  EXPECT_EQ(meter_->SetNumSamples(0), kMeterBadArgument);
  EXPECT_EQ(meter_->SetNumSamples(-3), kMeterBadArgument);
  EXPECT_EQ(meter_->NumSamples(), 4);
}

TEST_F(MeterTest, NoAnswerTimesOutAfterTwentyOneSecondsOnTheFakeClock) {
  StartBench();
  OpenMeter();
  ASSERT_EQ(meter_->Configure(0), 0);
  ASSERT_EQ(meter_->SetNumSamples(4), 0);
  bench_->SetFault(qxsim::MeterFault::kSilent);
  double values[4];
  Prefill(values, 4);
  bool done = false;
  meter_->StartRead();
  EXPECT_EQ(meter_->GetReadings(values, 4, &done), 0);
  EXPECT_FALSE(done);
  clock_.Advance(20999);
  EXPECT_EQ(meter_->GetReadings(values, 4, &done), 0);
  EXPECT_FALSE(done);
  EXPECT_EQ(meter_->LastReadResult(), MeterReadResult::kPending);
  clock_.Advance(1);
  EXPECT_EQ(meter_->GetReadings(values, 4, &done), 0);
  EXPECT_TRUE(done);
  EXPECT_EQ(meter_->LastReadResult(), MeterReadResult::kTimedOut);
  for (double v : values) EXPECT_EQ(v, kUntouched);
}

TEST_F(MeterTest, WithoutAPortReadingsTimeOutAndNothingIsWritten) {
  setenv("QX_COM3", dir_.File("no-such-port").c_str(), 1);
  meter_ = std::make_unique<Meter>(kMeterPortIndex, 0);
  testing::internal::CaptureStdout();
  meter_->Open();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: Could not open com port");
  EXPECT_FALSE(meter_->IsOpen());
  EXPECT_EQ(clock_.TickMs(), 1000u) << "no identification waits without a port";
  // A range chosen without a port still counts, so no sample count stops the program.
  EXPECT_EQ(meter_->Configure(2), 0);
  EXPECT_EQ(meter_->SetNumSamples(2), 0);
  double values[2];
  Prefill(values, 2);
  bool done = false;
  meter_->StartRead();
  meter_->GetReadings(values, 2, &done);
  EXPECT_FALSE(done);
  clock_.Advance(kMeterReadTimeoutMs);
  meter_->GetReadings(values, 2, &done);
  EXPECT_TRUE(done);
  EXPECT_EQ(values[0], kUntouched);
  EXPECT_EQ(values[1], kUntouched);
  meter_->Close();
}

TEST_F(MeterTest, ShortAnswerIsNeverParsedAndTimesOut) {
  StartBench();
  OpenMeter();
  ASSERT_EQ(meter_->Configure(0), 0);
  ASSERT_EQ(meter_->SetNumSamples(10), 0);
  bench_->SetFault(qxsim::MeterFault::kShort);
  double values[10];
  Prefill(values, 10);
  meter_->StartRead();
  ASSERT_TRUE(bench_->WaitForAnswers(1, 5000));
  // Give the pseudo-terminal time to hand the last bytes over.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  bool done = false;
  meter_->GetReadings(values, 10, &done);
  EXPECT_FALSE(done);
  clock_.Advance(kMeterReadTimeoutMs);
  meter_->GetReadings(values, 10, &done);
  EXPECT_TRUE(done);
  EXPECT_EQ(meter_->LastReadResult(), MeterReadResult::kTimedOut);
  for (double v : values) EXPECT_EQ(v, kUntouched);
}

TEST_F(MeterTest, GarbledAnswerLeavesEveryValueUntouched) {
  StartBench();
  OpenMeter();
  ASSERT_EQ(meter_->Configure(0), 0);
  ASSERT_EQ(meter_->SetNumSamples(10), 0);
  bench_->SetFault(qxsim::MeterFault::kGarbage);
  double values[10];
  Prefill(values, 10);
  meter_->StartRead();
  int calls = 0;
  CollectUntilDone(values, 10, &calls);
  EXPECT_EQ(meter_->LastReadResult(), MeterReadResult::kGarbled);
  for (double v : values) EXPECT_EQ(v, kUntouched);

  // The meter recovers with the next clean answer.
  bench_->SetFault(qxsim::MeterFault::kNone);
  meter_->StartRead();
  CollectUntilDone(values, 10, &calls);
  EXPECT_EQ(meter_->LastReadResult(), MeterReadResult::kOk);
  EXPECT_NEAR(values[9], 5.0, 1e-3);
}

TEST_F(MeterTest, ValuesNeverGoPastTheCallersCount) {
  StartBench();
  OpenMeter();
  ASSERT_EQ(meter_->Configure(0), 0);
  ASSERT_EQ(meter_->SetNumSamples(10), 0);
  double values[10];
  Prefill(values, 10);
  meter_->StartRead();
  bool done = false;
  ASSERT_TRUE(bench_->WaitForAnswers(1, 5000));
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done && std::chrono::steady_clock::now() < end) meter_->GetReadings(values, 4, &done);
  ASSERT_TRUE(done);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(values[i], 5.0, 1e-3);
  for (int i = 4; i < 10; ++i) EXPECT_EQ(values[i], kUntouched) << i;
}

TEST_F(MeterTest, StaleBytesBeforeATriggerAreDropped) {
  StartBench();
  OpenMeter();
  ASSERT_EQ(meter_->Configure(0), 0);
  ASSERT_EQ(meter_->SetNumSamples(3), 0);
  volts_ = 1.0;
  double values[3];
  Prefill(values, 3);
  meter_->StartRead();
  ASSERT_TRUE(bench_->WaitForAnswers(1, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // The first answer is never collected; a new trigger must not read it.
  volts_ = 2.0;
  meter_->StartRead();
  int calls = 0;
  CollectUntilDone(values, 3, &calls);
  for (double v : values) EXPECT_NEAR(v, 2.0, 1e-3);
}

TEST_F(MeterTest, AnAnswerLeftFromAnEarlierRunIsNotTakenForTheIdentification) {
  StartBench();
  OpenMeter();
  ASSERT_EQ(meter_->Configure(0), 0);
  ASSERT_EQ(meter_->SetNumSamples(4), 0);
  meter_->StartRead();
  // The run ends before collecting; the bench keeps its line up, so the
  // answer waits there for whoever opens the port next.
  meter_->Close();
  meter_.reset();
  ASSERT_TRUE(bench_->WaitForAnswers(1, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  OpenMeter();
  EXPECT_STREQ(meter_->Idn(), "QXSIM,DMM-65,SIM0001,1.2-0.4\n");
}

TEST_F(MeterTest, GetReadingsWithoutATriggerIsDoneAtOnce) {
  StartBench();
  OpenMeter();
  double values[2];
  Prefill(values, 2);
  bool done = false;
  meter_->GetReadings(values, 2, &done);
  EXPECT_TRUE(done);
  EXPECT_EQ(meter_->LastReadResult(), MeterReadResult::kNone);
  EXPECT_EQ(values[0], kUntouched);
}

TEST_F(MeterTest, CustomSettingsGiveThePortNoUsableLine) {
  StartBench();
  Meter meter(kMeterPortIndex, 1);
  testing::internal::CaptureStdout();
  meter.Open();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: Could not set com port parameters");
  EXPECT_FALSE(meter.IsOpen());
}

TEST_F(MeterTest, PortIndexOutsideTheTableOpensNothing) {
  for (int index : {-1, 8, 1000}) {
    Meter meter(index, 0);
    testing::internal::CaptureStdout();
    meter.Open();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: Could not open com port") << index;
    EXPECT_FALSE(meter.IsOpen());
  }
}

TEST_F(MeterTest, OverloadedRangeReadsTheMetersOverloadValue) {
  StartBench();
  OpenMeter();
  volts_ = 5.0;
  ASSERT_EQ(meter_->Configure(2), 0);  // 0.1 V full scale
  ASSERT_EQ(meter_->SetNumSamples(2), 0);
  double values[2];
  Prefill(values, 2);
  meter_->StartRead();
  int calls = 0;
  CollectUntilDone(values, 2, &calls);
  EXPECT_EQ(values[0], 9.9e37);
  EXPECT_EQ(values[1], 9.9e37);
}

void SetSource(qxsim::VirtualDevice& device, float volts) {
  uint32_t bits;
  std::memcpy(&bits, &volts, sizeof bits);
  uint16_t words[2] = {static_cast<uint16_t>(bits >> 16), static_cast<uint16_t>(bits)};
  ASSERT_EQ(device.WriteRegisters(qxsim::kJigSourceRegister, 2, words), 0);
}

// Drives line 5 as the station's WriteLinePair does: direction, then level.
void DriveLine5(qxsim::VirtualDevice& device, uint16_t level) {
  uint16_t output = 1;
  ASSERT_EQ(device.WriteRegisters(2105, 1, &output), 0);
  ASSERT_EQ(device.WriteRegisters(2005, 1, &level), 0);
}

TEST_F(MeterTest, MeasuresTheSourceThatTheDeviceSetsThroughTheAttenuator) {
  qxsim::Bench device;  // not started: the device and its jig in-process
  StartBench(1, 0, device.meterInput());
  OpenMeter();
  ASSERT_EQ(meter_->Configure(0), 0);
  ASSERT_EQ(meter_->SetNumSamples(4), 0);
  double values[4];
  int calls = 0;
  meter_->StartRead();
  CollectUntilDone(values, 4, &calls);
  for (double v : values) EXPECT_NEAR(v, 0.0, 1e-4) << "a fresh device's source is 0 V";

  SetSource(device.device(), 5.0f);
  meter_->StartRead();
  CollectUntilDone(values, 4, &calls);
  for (double v : values) EXPECT_NEAR(v, 5.0, 1e-3);

  // A small range: 1.76 V through the attenuated path, on the 0.1 V scale.
  SetSource(device.device(), 1.76f);
  DriveLine5(device.device(), 0);
  ASSERT_EQ(meter_->Configure(2), 0);
  meter_->StartRead();
  CollectUntilDone(values, 4, &calls);
  EXPECT_EQ(meter_->LastReadResult(), MeterReadResult::kOk);
  for (double v : values) EXPECT_NEAR(v, 1.76 / 22.0, 1e-5);
}

// Guards that end the process: asking for samples before any range.
TEST(MeterDeathTest, SampleCountBeforeAnyRangeEndsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);  // the message goes to standard output
        Meter meter(kMeterPortIndex, 0);
        meter.SetNumSamples(4);
      },
      testing::ExitedWithCode(1), "Must config before setting number of samples$");
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        Meter meter(kMeterPortIndex, 0);
        meter.Configure(3);  // refused: still no range
        meter.SetNumSamples(4);
      },
      testing::ExitedWithCode(1), "Must config before setting number of samples$");
}

struct NumberCase {
  const char* text;
  double value;
};

TEST(MeterNumber, ParsesTheMetersFields) {
  const NumberCase cases[] = {
      {"+1.23456789E+00", 1.23456789},
      {"-9.87654321E-03", -9.87654321e-3},
      {"+9.90000000E+37", 9.9e37},
      {"+0.00000000E+00", 0.0},
      {"  +5.0000000E+00", 5.0},
      {"+1.00000000E+01  ", 10.0},
      {"-1.76000000E-01", -0.176},
      {"+.5E+00", 0.5},
      {"42", 42.0},
  };
  for (const NumberCase& c : cases) {
    double v = kUntouched;
    EXPECT_TRUE(ParseMeterNumber(c.text, static_cast<int>(std::strlen(c.text)), &v)) << c.text;
    EXPECT_DOUBLE_EQ(v, c.value) << c.text;
  }
  // Only the given length counts: "+1.5" cut to two characters is +1.
  double v = 0;
  EXPECT_TRUE(ParseMeterNumber("+1.5", 2, &v));
  EXPECT_DOUBLE_EQ(v, 1.0);
}

TEST(MeterNumber, RefusesWhatIsNotAWholeReading) {
  const char* const bad[] = {
      "+1.23#?@789E+00",
      "",
      "     ",
      "+",
      "-",
      "1,5",
      "+1,23456789E+00",
      "inf",
      "+nan",
      "0x1p3",
      "+1.0E",
      "1.0E+00x",
      "--1",
      "+-1",
      "1e999",
      "+1.0 E+00",
      "E+00",
      "\n",
  };
  for (const char* text : bad) {
    double v = kUntouched;
    EXPECT_FALSE(ParseMeterNumber(text, static_cast<int>(std::strlen(text)), &v)) << text;
    EXPECT_EQ(v, kUntouched) << text;
  }
  double v = kUntouched;
  EXPECT_FALSE(ParseMeterNumber(nullptr, 4, &v));
  EXPECT_FALSE(ParseMeterNumber("1", 0, &v));
  EXPECT_FALSE(ParseMeterNumber("1", 1, nullptr));
}

// A German workstation writes numbers with a decimal comma. Switches
// LC_NUMERIC to de_DE for one test, building the locale into a private
// folder when the system has none installed.
class GermanNumbersTest : public MeterTest {
 protected:
  void SetUp() override {
    MeterTest::SetUp();
    if (!Switch()) GTEST_SKIP() << "no de_DE locale can be had on this machine";
    ASSERT_EQ(std::strtod("1.5", nullptr), 1.0) << "the locale is not in force";
  }
  void TearDown() override {
    std::setlocale(LC_NUMERIC, "C");
    MeterTest::TearDown();
  }
  bool Switch() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"}) {
      if (std::setlocale(LC_NUMERIC, name) != nullptr) return true;
    }
    if (locales_.path().empty()) return false;
    std::string build =
        "localedef -i de_DE -f UTF-8 '" + locales_.File("de_DE.UTF-8") + "' >/dev/null 2>&1";
    int ignored = std::system(build.c_str());  // warnings give a non-zero status
    (void)ignored;
    setenv("LOCPATH", locales_.path().c_str(), 1);
    bool ok = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    unsetenv("LOCPATH");
    return ok;
  }
  TempDir locales_;
};

TEST_F(GermanNumbersTest, ReadingsParseTheSameUnderADecimalCommaLocale) {
  double v = 0;
  EXPECT_TRUE(ParseMeterNumber("+1.23456789E+00", 15, &v));
  EXPECT_DOUBLE_EQ(v, 1.23456789);
  EXPECT_FALSE(ParseMeterNumber("+1,23456789E+00", 15, &v));

  StartBench();
  OpenMeter();
  volts_ = 0.0801234;
  ASSERT_EQ(meter_->Configure(2), 0);
  ASSERT_EQ(meter_->SetNumSamples(10), 0);
  double values[10];
  Prefill(values, 10);
  meter_->StartRead();
  int calls = 0;
  CollectUntilDone(values, 10, &calls);
  EXPECT_EQ(meter_->LastReadResult(), MeterReadResult::kOk);
  for (double r : values) EXPECT_NEAR(r, 0.0801234, 1e-5);
}

}  // namespace
