// The production rows in-process against the virtual bench on its ports: a
// good device passes each with its text, and each injected fault gives its
// text and level.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "calibration/cal_constants.h"
#include "device/flash_map.h"
#include "harness/harness.h"
#include "production/counter_test.h"
#include "sim/bench.h"
#include "sim/features/analog.h"
#include "sim/jig.h"
#include "sim/options.h"
#include "sim/production_faults.h"
#include "station/station_table.h"

namespace {

// The production rows that need no test server and no calibration; the
// counter test, which no mask selects, runs last.
const char* const kRows[] = {
    "Open Quenlox",     "Read Test Jig Info",   "Vs and Current", "Vmux",
    "Firmware Version", "Startup DAQ Settings", "Device Name",    "Temperature Sensor",
    "DIO Short Test",   "DIO Jig Test",         "DAC Test"};

// Set by the test that moves the run onto the Ethernet endpoint.
bool gWithEthernet = false;

uint32_t ProductionList(TestContext* context, TestRecord* list) {
  uint32_t result = GetTestList(context, list);
  uint32_t kept = 0;
  for (uint32_t i = 0; i < context->testCount; ++i) {
    for (const char* name : kRows) {
      if (std::strcmp(list[i].name, name) == 0) list[kept++] = list[i];
    }
    if (gWithEthernet && std::strcmp(list[i].name, "Ethernet test") == 0) list[kept++] = list[i];
  }
  list[kept].name = "CounterTest";
  list[kept].test = CounterTest;
  context->testCount = kept + 1;
  return result;
}

const DeviceTypeEntry kTypes[] = {{"GetTestList", kZ5DeviceType, ProductionList},
                                  {nullptr, 0, nullptr}};

class NullSink : public ReportSink {
 public:
  void Show(const char*, size_t) override {}
};

constexpr uint32_t kNoJig = 0x800000;
constexpr uint32_t kJig = 0x60000;  // production station with the jig

class ProductionRun : public ::testing::Test {
 protected:
  void TearDown() override {
    if (bench_) bench_->Stop();
    unsetenv("QXM_USB_ENDPOINT");
    unsetenv("QX_DEVICE_IP");
    gWithEthernet = false;
  }
  // Starts a bench with these qxsim fault options.
  void StartBench(std::vector<std::string> args, bool isMax = false, bool jig = true) {
    qxsim::BenchOptions options;
    options.device.isMax = isMax;
    options.jig.present = jig;
    // True constants at their nominal values: the blank calibration record
    // reads as a calibrated device would.
    options.device.analog.spreadScale = 0.0;
    args.insert(args.begin(), "qxsim");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    std::string error;
    qxsim::DeviceCommandLine seen;
    ASSERT_EQ(0, qxsim::ParseBenchCommandLine(static_cast<int>(argv.size()), argv.data(), &options,
                                              &seen, &error))
        << error;
    if (!statePath_.empty()) options.statePath = statePath_;
    bench_.reset(new qxsim::Bench(options));
    ASSERT_TRUE(bench_->Start(&error)) << error;
    setenv("QXM_USB_ENDPOINT", bench_->usbEndpoint().c_str(), 1);
    setenv("QX_DEVICE_IP", bench_->ethEndpoint().c_str(), 1);
  }
  // The details and status of each row of a run with this mask.
  std::vector<std::pair<std::string, std::pair<uint32_t, std::string>>> Run(uint32_t mask) {
    TestHarness harness(kZ5DeviceType, mask, 1, &sink_, kTypes);
    harness.Run();
    std::vector<std::pair<std::string, std::pair<uint32_t, std::string>>> rows;
    for (uint32_t i = 0; i < harness.testCount(); ++i) {
      const TestRecord& r = harness.list()[i];
      rows.push_back({r.name, {r.status, r.details}});
    }
    return rows;
  }
  static std::pair<uint32_t, std::string> Row(
      const std::vector<std::pair<std::string, std::pair<uint32_t, std::string>>>& rows,
      const char* name) {
    for (const auto& r : rows) {
      if (r.first == name) return r.second;
    }
    return {99, "(not in the list)"};
  }

  NullSink sink_;
  std::unique_ptr<qxsim::Bench> bench_;
  std::string statePath_;
};

TEST_F(ProductionRun, AGoodDevicePassesEveryRowWithItsText) {
  struct Expect {
    const char* row;
    const char* details;
  };
  for (bool isMax : {false, true}) {
    for (bool jig : {false, true}) {
      StartBench({}, isMax, jig);
      auto rows = Run(jig ? kJig : kNoJig);
      const Expect expected[] = {
          {"Temperature Sensor", jig ? "Tin: 298.40K, Tex: 297.95K" : "Tin: 298.40K"},
          {"Firmware Version", "Firmware Version: 1.0000"},
          {"Startup DAQ Settings", "Factory settings detected"},
          {"Device Name", "New Name: My_Z5_0000"},
          {jig ? "DIO Jig Test" : "DIO Short Test", jig ? "8 tests passed" : "All tests passed"},
          {"CounterTest", "All counter tests passed"},
      };
      for (const Expect& e : expected) {
        EXPECT_EQ(Row(rows, e.row), std::make_pair(2u, std::string(e.details)))
            << e.row << (isMax ? " Max" : "") << (jig ? " jig" : " no jig");
      }
      if (jig) {
        // Readings through the device's own converter: the texts' forms.
        for (const Expect& e : {Expect{"Vs and Current", "Vs: 5.0"}, Expect{"Vmux", "Vm+: 12."},
                                Expect{"DAC Test", "All tests passed."}}) {
          auto row = Row(rows, e.row);
          EXPECT_EQ(row.first, 2u) << e.row << ": " << row.second;
          EXPECT_EQ(row.second.rfind(e.details, 0), 0u) << row.second;
        }
      }
      bench_->Stop();
    }
  }
}

TEST_F(ProductionRun, EachFaultGivesItsTextAndLevel) {
  struct Case {
    std::vector<std::string> faults;
    uint32_t mask;
    const char* row;
    uint32_t level;
    const char* details;  // the whole text, or its fixed start
  };
  const Case cases[] = {
      {{"--fault-supply", "4.5"}, kJig | 0x80, "Vs and Current", 5, "Vs too low to Cal: 4.500"},
      {{"--fault-supply", "4.5"}, kJig, "Vs and Current", 2, "Vs: 4.5"},
      {{"--fault-supply", "5.8"}, kJig, "Vs and Current", 5, "Vs too high: 5.8"},
      {{"--fault-rails"}, kJig, "Vmux", 5, "Vm+: 14.6"},
      {{"--fault-hot-device"}, kJig, "Temperature Sensor", 3, "Tin: 320.00K, Tex: 29"},
      {{"--fault-hot-device"},
       kJig | 0x80,
       "Temperature Sensor",
       5,
       "Int Temp: 320.00K, 290 to 305 required"},
      {{"--fault-dead-dac"}, kJig, "DAC Test", 5, "DAC0 0x2000 Error: 0.0"},
      {{"--fault-swapped-dacs"}, kJig, "DAC Test", 5, "DAC0 0x2000 Error: 3.7"},
      {{"--fault-stream-bad-value"}, kJig, "Ethernet test", 5, "Channel 0, bad value."},
      {{"--fault-stream-oversize"}, kJig, "Ethernet test", 5, "Internal Error"},
      {{"--fault-dio-short", "3,4"}, kNoJig, "DIO Short Test", 4, "Possible short DIO#: 3, 4"},
      {{"--fault-dio-stuck-low", "0"},
       kNoJig,
       "DIO Short Test",
       5,
       "All high: 0x7FFFFE expected 0x7FFFFF"},
      {{"--fault-dio-dead-outputs"},
       kNoJig,
       "DIO Short Test",
       4,
       "Possible short DIO#: 0, no partner: read 0x7FFFFF"},
      {{"--fault-dio-dead-outputs"}, kJig, "DIO Jig Test", 5, "E/C/M 0,2,4 output low: 0x00070F7F"},
      {{"--fault-dio-short", "8,14"},
       kJig,
       "DIO Jig Test",
       5,
       "E/C/M 0,2,4 output low: 0x00000000"},
      {{"--fault-counter", "0", "--fault-counter", "1"}, kJig, "CounterTest", 5, "Counter 1 fail"},
      {{"--fault-counter", "3"}, kJig, "CounterTest", 5, "Counter 3 fail"},
      {{"--fault-non-factory"}, kJig, "Startup DAQ Settings", 3, "non-Factory settings detected"},
      {{"--fault-non-factory"},
       kJig | 0x20,
       "Startup DAQ Settings",
       2,
       "Changed to factory settings"},
  };
  for (const Case& c : cases) {
    StartBench(c.faults, false, (c.mask & kJig & 0x20000) != 0);
    gWithEthernet = std::strcmp(c.row, "Ethernet test") == 0;
    auto rows = Run(c.mask);
    auto row = Row(rows, c.row);
    EXPECT_EQ(row.first, c.level) << c.faults[0] << ": " << row.second;
    EXPECT_EQ(row.second.rfind(c.details, 0), 0u) << c.faults[0] << ": " << row.second;
    // The server and the report's readers match the Ethernet test's texts whole.
    if (gWithEthernet) {
      EXPECT_EQ(row.second, c.details);
    }
    bench_->Stop();
  }
}

TEST_F(ProductionRun, ASupplyReadingThatIsNotANumberStopsTheRun) {
  StartBench({});
  // A stored record whose 10 V slopes are NaN: the device's readings of the
  // supply channel in that range are NaN too.
  float values[kCalConstantCount];
  for (size_t i = 0; i < kCalConstantCount; ++i) {
    values[i] = static_cast<float>(CalConstantTable[i].nominal);
  }
  values[0] = values[1] = std::nanf("");
  std::vector<uint8_t> record(kCalRecordBytes);
  EncodeCalibrationRecord(values, record.data());
  bench_->device().PokeFlash(kCalibrationPageBase, record);
  auto rows = Run(kJig);
  EXPECT_EQ(Row(rows, "Vs and Current"), std::make_pair(5u, std::string("Vs not a number: nan")));
  EXPECT_EQ(Row(rows, "CounterTest").first, 0u) << "the run goes no further";
}

TEST_F(ProductionRun, NameAndRestoredSettingsAreKeptInTheStateFile) {
  char pattern[] = "/tmp/qxprod-e2e-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  statePath_ = std::string(pattern) + "/state";
  StartBench({"--fault-non-factory"});
  Run(kJig | 0x20);
  bench_->Stop();
  StartBench({});
  auto rows = Run(kJig);
  EXPECT_EQ(Row(rows, "Device Name"), std::make_pair(2u, std::string("Name: My_Z5_0000")));
  EXPECT_EQ(Row(rows, "Startup DAQ Settings"),
            std::make_pair(2u, std::string("Factory settings detected")));
  bench_->Stop();
  std::remove(statePath_.c_str());
  ::rmdir(pattern);
}

TEST_F(ProductionRun, AfterTheEthernetTestEveryRequestArrivesOnTheEthernetEndpoint) {
  StartBench({});
  gWithEthernet = true;
  auto rows = Run(kJig);
  auto ethernet = Row(rows, "Ethernet test");
  EXPECT_EQ(ethernet.first, 2u) << ethernet.second;
  int scans = std::atoi(ethernet.second.c_str() + std::strlen("Passed "));
  EXPECT_GT(scans, 4900) << ethernet.second;
  EXPECT_LE(scans, 5100) << ethernet.second;
  EXPECT_EQ(Row(rows, "CounterTest").first, 2u);
  std::vector<qxsim::DeviceServer::Served> log = bench_->server().servedLog();
  size_t first = 0;
  while (first < log.size() && log[first].endpoint != qxsim::kEthEndpoint) ++first;
  ASSERT_LT(first, log.size()) << "nothing arrived on the Ethernet endpoint";
  EXPECT_EQ(log[first].firstRegister, 49100) << "the address, read over the new connection";
  for (size_t i = first; i < log.size(); ++i) {
    EXPECT_EQ(log[i].endpoint, qxsim::kEthEndpoint) << "request " << i;
  }
}

}  // namespace
