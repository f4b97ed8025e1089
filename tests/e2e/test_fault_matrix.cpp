// Link faults against whole runs on the in-process bench: the calibration
// station (device, meter, jig and test server) and a firmware upgrade. Each
// fault, started where a stage begins or at every request of a page
// update, must end the run with an error, never a pass, and leave the flash
// outside the page being written as it was and that page as it was or as
// intended. A clean run first shows where the stages and page updates lie.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "calibration/cal_constants.h"
#include "device/flash_map.h"
#include "device/register_addresses.h"
#include "fwpack/firmware_pack.h"
#include "harness/harness.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/stop_request.h"
#include "qxm/qxm.h"
#include "qxm/qxm_errors.h"
#include "server/server_tests.h"
#include "station/run_record.h"
#include "station/station_table.h"
#include "station/stations.h"
#include "tests/support/bench_device.h"
#include "tests/support/flash_requests.h"
#include "tests/support/station_bench.h"
#include "tests/support/temp_dir.h"
#include "upgrade/run_upgrade.h"
#include "upgrade/upgrade_sequencer.h"

namespace {

struct Area {
  const char* name;
  uint32_t base;
  uint32_t size;
};
const Area kAreas[] = {{"firmware", kFirmwareBase, kFirmwarePages* kFlashPageSize},
                       {"info", kInfoPageBase, kFlashPageSize},
                       {"config", kConfigPageBase, kFlashPageSize},
                       {"calibration", kCalibrationPageBase, kFlashPageSize}};

using FlashImage = std::map<std::string, Bytes>;

FlashImage Snapshot(BenchDevice& device) {
  FlashImage image;
  for (const Area& a : kAreas) image[a.name] = device.Flash(a.base, a.size);
  return image;
}

// The flash after a run: every area but the pages written as before, and
// each page written as it was before one of its updates or after it (as
// before, as intended), so never blank nor half written unless it was.
void ExpectFlashSound(const FlashImage& before, const FlashImage& after,
                      const std::map<std::string, std::vector<Bytes>>& pageStates) {
  for (const Area& a : kAreas) {
    const Bytes& now = after.at(a.name);
    auto states = pageStates.find(a.name);
    if (states == pageStates.end()) {
      EXPECT_TRUE(now == before.at(a.name)) << a.name << " changed";
      continue;
    }
    bool known = false;
    for (const Bytes& state : states->second) known |= now == state;
    EXPECT_TRUE(known) << a.name << " is neither as before nor as intended";
  }
}

// Follows a station run: where each row starts in the device's requests,
// real sleeps only while Calibrate reads the meter, and the faults put in
// force when the row named starts (their `after` counting from there).
class RunFollower : public RunObserver {
 public:
  RunFollower(BenchDevice* device, SkipWaitsClock* clock) : device_(device), clock_(clock) {}
  void RunStarted(const TestRecord*, uint32_t, const TestContext&) override {}
  void TestStarted(uint32_t, const TestRecord& test) override {
    rows.push_back(test.name);
    starts.push_back(static_cast<int>(device_->ExchangeCount()));
    const bool meter = std::strcmp(test.name, "Calibrate") == 0;
    clock_->SetRealMs(meter ? 1 : 0, meter ? 20 : 0);
    if (armRow == test.name) device_->SetFaults(faults);
  }
  void TestFinished(uint32_t, const TestRecord&, const TestContext&) override {}
  void RunFinished(bool, const TestContext&) override {}

  std::string armRow;
  LinkFaults faults;
  std::vector<std::string> rows;
  std::vector<int> starts;

 private:
  BenchDevice* device_;
  SkipWaitsClock* clock_;
};

// The station's list cut after the row named here (empty: whole), so that a
// run whose fault the station may mend ends after the row that met it.
std::string g_lastRow;

uint32_t ListUpToLastRow(TestContext* context, TestRecord* list) {
  const uint32_t result = GetTestList(context, list);
  for (uint32_t i = 0; i < context->testCount && !g_lastRow.empty(); ++i) {
    if (g_lastRow == list[i].name) context->testCount = i + 1;
  }
  return result;
}

const DeviceTypeEntry kTypes[] = {{"GetTestList", kZ5DeviceType, ListUpToLastRow},
                                  {nullptr, 0, nullptr}};

class NullSink : public ReportSink {
 public:
  void Show(const char*, size_t) override {}
};

class NullConsole : public platform::Console {
 public:
  void Write(const char*, size_t) override {}
  int ReadLine(char* buffer, size_t) override {
    buffer[0] = '\0';
    return 0;
  }
  int ReadKey() override { return 'x'; }
  int PlaceWindow(int, int, int, int) override { return 0; }
};

// A fault from the first request on that it finds (after = 0).
struct Fault {
  std::string what;
  LinkFaults link;
};

std::vector<Fault> LinkFaultKinds() {
  std::vector<Fault> kinds;
  LinkFaults f;
  f.noAnswer = true;
  kinds.push_back({"no answer", f});
  f = LinkFaults();
  f.slowMs = QxmReplyTimeoutMs() + 1;
  kinds.push_back({"slow", f});
  for (qxsim::HeaderFault h :
       {qxsim::HeaderFault::kTransactionId, qxsim::HeaderFault::kProtocol,
        qxsim::HeaderFault::kLength, qxsim::HeaderFault::kUnit, qxsim::HeaderFault::kFunction}) {
    f = LinkFaults();
    f.corruptHeader = h;
    kinds.push_back({std::string("header ") + qxsim::HeaderFaultName(h), f});
  }
  return kinds;
}

LinkFaults WritesRefused() {
  LinkFaults f;
  f.exceptionRegister = kRegFlashWriteWindow;
  f.exceptionCode = 0x04;  // device failure
  return f;
}

struct StationRun {
  bool passed = false;
  std::string failure;  // the row that stopped the run and its details
  FlashImage before;
  FlashImage after;
  std::vector<Bytes> requests;
  std::vector<std::string> rows;
  std::vector<int> starts;
};

class FaultMatrixTest : public ::testing::Test {
 protected:
  // The calibration station on a fresh device, with faults from the start
  // of row armRow (none: a clean run).
  StationRun RunStation(const std::string& armRow = "", const LinkFaults& faults = LinkFaults(),
                        bool stopAfterRow = false) {
    g_lastRow = stopAfterRow ? armRow : "";
    SkipWaitsClock clock(0);
    platform::ScopedClock useClock(&clock);
    TempDir dir;
    qxsim::BenchOptions options;
    options.device.identity = qxsim::StartingIdentity::kBlank;
    AddStationPeers(&options, dir.File("com3"), dir.File("results"), false);
    options.meter.msPerReading = 0;
    BenchDevice device(options);
    std::string error;
    StationRun run;
    EXPECT_TRUE(StartStationBench(&device.bench(), &error)) << error;
    run.before = Snapshot(device);
    RunFollower follower(&device, &clock);
    follower.armRow = armRow;
    follower.faults = faults;
    {
      TestHarness harness(kZ5DeviceType, FindStation("calibration")->mask, 1, &sink_, kTypes);
      harness.AddObserver(&follower);
      harness.Run();
      run.passed = harness.passed();
      for (uint32_t i = 0; i < harness.testCount(); ++i) {
        const TestRecord& r = harness.list()[i];
        if (r.status != kLevelPassed && r.status != kLevelNotRun && run.failure.empty()) {
          run.failure = std::string(r.name) + ": " + r.details;
        }
      }
    }
    run.after = Snapshot(device);
    run.requests = device.Requests();
    run.rows = follower.rows;
    run.starts = follower.starts;
    device.bench().Stop();
    ClearStationEnvironment();
    return run;
  }

  NullSink sink_;
};

// The row whose requests hold request index i, and i's offset in it.
std::pair<std::string, int> RowOf(const StationRun& run, int i) {
  size_t r = 0;
  for (size_t k = 0; k < run.starts.size(); ++k) {
    if (run.starts[k] <= i) r = k;
  }
  return {run.rows[r], i - run.starts[r]};
}

class StationMatrixTest : public FaultMatrixTest {
 protected:
  void SetUp() override {
    clean_ = RunStation();
    ASSERT_TRUE(clean_.passed) << clean_.failure;
    for (const Area& a : kAreas) {
      if (a.base != kConfigPageBase && a.base != kCalibrationPageBase) continue;
      pageStates_[a.name] = PageStates(clean_.before.at(a.name), clean_.requests, a.base);
      EXPECT_EQ(pageStates_[a.name].back(), clean_.after.at(a.name)) << a.name;
    }
  }
  // An error with its text (unless the station may mend the fault and
  // did), and the flash whole.
  void Check(const StationRun& run, bool mayMend) {
    if (!mayMend || !run.passed) {
      EXPECT_FALSE(run.passed);
      const size_t colon = run.failure.find(": ");
      EXPECT_TRUE(colon != std::string::npos && run.failure.size() > colon + 2)
          << "no error text: " << run.failure;
    }
    ExpectFlashSound(run.before, run.after, pageStates_);
  }
  // One drop of the link at every request of each update of page: the
  // station may mend it (the page then as intended) or fail. Then the
  // device refusing every write from the first update's first write on.
  // Each run through Calibrate takes half a second of the meter's real
  // time: there, at most writes requests from each update's first write on
  // and the update's first request.
  void DropEverywhereIn(uint32_t page, size_t writes = SIZE_MAX) {
    std::vector<int> points;
    for (const std::vector<int>& update : PageUpdates(clean_.requests, page)) {
      size_t firstWrite = 0;
      while (firstWrite < update.size() && !TouchOf(clean_.requests[update[firstWrite]]).write) {
        ++firstWrite;
      }
      for (size_t k = 0; k < update.size(); ++k) {
        if (writes == SIZE_MAX || k == 0 || (k >= firstWrite && k - firstWrite < writes)) {
          points.push_back(update[k]);
        }
      }
    }
    ASSERT_FALSE(points.empty());
    for (int i : points) {
      const auto at = RowOf(clean_, i);
      SCOPED_TRACE(at.first + ", drop at request " + std::to_string(at.second));
      LinkFaults drop;
      drop.after = at.second;
      drop.times = 1;
      drop.drop = true;
      Check(RunStation(at.first, drop, true), true);
    }
    for (int i : points) {
      if (!TouchOf(clean_.requests[i]).write) continue;
      const auto at = RowOf(clean_, i);
      SCOPED_TRACE(at.first + ", writes refused from request " + std::to_string(at.second));
      LinkFaults refused = WritesRefused();
      refused.after = at.second;
      Check(RunStation(at.first, refused, true), false);
      break;
    }
  }

  StationRun clean_;
  std::map<std::string, std::vector<Bytes>> pageStates_;
};

TEST_F(StationMatrixTest, EachLinkFaultFromEachStageEndsTheRunInAnError) {
  const int total = static_cast<int>(clean_.requests.size());
  for (size_t r = 0; r < clean_.rows.size(); ++r) {
    // Stages that reach the device, each once.
    if (clean_.starts[r] >= total || (r > 0 && clean_.starts[r] == clean_.starts[r - 1])) continue;
    for (const Fault& f : LinkFaultKinds()) {
      SCOPED_TRACE(clean_.rows[r] + ", " + f.what);
      Check(RunStation(clean_.rows[r], f.link), false);
    }
  }
}

TEST_F(StationMatrixTest, ADropAnywhereInAConfigurationPageUpdateLeavesItWhole) {
  DropEverywhereIn(kConfigPageBase);
}

TEST_F(StationMatrixTest, ADropWhileTheCalibrationRecordIsWrittenLeavesThePageWhole) {
  DropEverywhereIn(kCalibrationPageBase, 10);
}

// --- The upgrade ------------------------------------------------------------------------

struct UpgradeOutcome {
  int32_t result = 0;
  FlashImage before;
  FlashImage after;
  std::vector<std::pair<UpgradeState, int>> stages;  // each stage's first request
};

class UpgradeMatrixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PackedImage image;
    image.fwVersionBits = VersionBits(1.25f);
    image.body = GeneratedBody(2 * kFlashPageSize, 11);
    std::string error;
    path_ = dir_.File("fw.bin");
    ASSERT_TRUE(WriteFileBytes(path_, PackFirmware({image}, PackOptions()), &error)) << error;
  }
  // An upgrade of a device as shipped on the fake clock: stepped by hand
  // when clean (to see where each stage begins), else as qxtest runs it.
  UpgradeOutcome Upgrade(const LinkFaults* faults) {
    platform::FakeClock clock;
    platform::ScopedClock useClock(&clock);
    BenchDevice device;
    UpgradeOutcome out;
    out.before = Snapshot(device);
    if (faults == nullptr) {
      ResetUpgradeRun();
      FirmwareFile file(path_.c_str());
      int done = 0;
      int progress = 0;
      int total = 0;
      while (done == 0 && out.result == 0) {
        const UpgradeState state = CurrentUpgradeRun().state;
        const int at = static_cast<int>(device.ExchangeCount());
        if (out.stages.empty() || out.stages.back().first != state)
          out.stages.push_back({state, at});
        out.result = UpgradeStep(device.Handle(), file, &done, &progress, &total);
      }
      file.Release();
      ResetUpgradeRun();
    } else {
      device.SetFaults(*faults);
      RunUpgrade(device.Handle(), path_.c_str(), &out.result);
    }
    out.after = Snapshot(device);
    return out;
  }

  NullConsole console_;
  platform::ScopedConsole useConsole_{&console_};
  TempDir dir_;
  std::string path_;
};

TEST_F(UpgradeMatrixTest, EachLinkFaultFromEachStageFailsTheUpgradeWithACode) {
  const UpgradeOutcome clean = Upgrade(nullptr);
  ASSERT_EQ(0, clean.result);
  ASSERT_EQ(clean.stages.back().first, FinalCheck);
  int failed = 0;
  std::vector<Fault> faults = LinkFaultKinds();
  faults.push_back({"writes refused", WritesRefused()});
  for (size_t s = 0; s < clean.stages.size(); ++s) {
    const int at = clean.stages[s].second;
    // Stages that reach the device, each once.
    if (s + 1 < clean.stages.size() && clean.stages[s + 1].second == at) continue;
    for (Fault f : faults) {
      SCOPED_TRACE(std::string(UpgradeStepNames[clean.stages[s].first]) + ", " + f.what);
      f.link.after = at;
      const UpgradeOutcome run = Upgrade(&f.link);
      // Writes refused where nothing is written: the upgrade goes through.
      if (run.result == 0 && !f.link.noAnswer && f.link.exceptionRegister >= 0) continue;
      EXPECT_NE(0, run.result);
      failed += run.result != 0;
      // The pages the upgrade does not own are as they were.
      EXPECT_TRUE(run.after.at("config") == run.before.at("config"));
      EXPECT_TRUE(run.after.at("calibration") == run.before.at("calibration"));
    }
  }
  // Seven stages reach the device; writes are refused to no effect in two.
  EXPECT_EQ(7 * 8 - 2, failed);
}

// --- The kill matrix --------------------------------------------------------------------

namespace kill {

// How a run is cut: an interrupt or a terminate request (as the signals
// give them), a kill (nothing more reaches the device), a link that drops
// for 2 s, or one gone for longer than the station waits.
enum class Cut { kInterrupt, kTerminate, kKill, kDrop, kGone };

const char* CutName(Cut cut) {
  static const char* const names[] = {"interrupt", "terminate", "kill", "drop", "gone"};
  return names[static_cast<int>(cut)];
}

// Puts the cut in force when its point comes by.
void Arm(BenchDevice* device, CutWatch* watch, Cut cut) {
  device->SetRequestHook([device, watch, cut](const Bytes& request) {
    if (!watch->Due(request)) return;
    switch (cut) {
      case Cut::kInterrupt:
        platform::RequestStop(platform::kStopInterrupt);
        break;
      case Cut::kTerminate:
        platform::RequestStop(platform::kStopTerminate);
        break;
      case Cut::kKill:
        device->DropLinkFor(UINT64_MAX);
        break;
      case Cut::kDrop:
        device->DropLinkFor(2000);
        break;
      case Cut::kGone:
        device->DropLinkFor(12000);
        break;
    }
  });
}

void Disarm(BenchDevice* device) {
  device->SetRequestHook(nullptr);
  device->LinkBack();
  platform::ClearStopRequests();
}

// The record of the run, with real sleeps only while Calibrate reads the meter.
class Follower : public RunRecord {
 public:
  Follower(SkipWaitsClock* clock, const char* station)
      : RunRecord(station, FindStation(station)->mask), clock_(clock) {}
  void TestStarted(uint32_t index, const TestRecord& test) override {
    RunRecord::TestStarted(index, test);
    const bool meter = std::strcmp(test.name, "Calibrate") == 0;
    clock_->SetRealMs(meter ? 1 : 0, meter ? 20 : 0);
  }

 private:
  SkipWaitsClock* clock_;
};

struct StationRow {
  Cut cut;
  CutPoint at;
  const char* where;
  bool finalFirst;  // the final station sees the device before it is calibrated again
};

}  // namespace kill

// Every page update of the calibration station and of an upgrade, and a few
// points between, cut by an interrupt, a terminate request, a kill, a link
// that drops for 2 s (and one gone for good): the pages are whole after the
// requests (those the station's run may still finish), the station's run
// stops as aborted or mends the drop, and the next run on the same device
// passes with the pages as a clean run leaves them; no serial number or MAC
// ends up on two devices.
TEST_F(FaultMatrixTest, KillMatrixEachCutLeavesADeviceTheNextRunPasses) {
  using kill::Cut;
  const uint32_t config = kConfigPageBase;
  const uint32_t cal = kCalibrationPageBase;
  std::vector<kill::StationRow> station;
  for (int update = 0; update < 2; ++update) {  // the serial number's, the MAC's
    const char* where = update == 0 ? "serial number's update" : "MAC's update";
    station.push_back({Cut::kInterrupt, {ErasesPage(config), update, 0}, where, false});
    station.push_back({Cut::kTerminate, {ErasesPage(config), update, 40}, where, false});
    station.push_back({Cut::kKill, {ErasesPage(config), update, 1}, where, false});
    station.push_back({Cut::kDrop, {ErasesPage(config), update, 2}, where, false});
  }
  station.push_back({Cut::kGone, {ErasesPage(config), 1, 1}, "MAC's update", false});
  // A new device's calibration page is blank: its record is written
  // without an erase. A kill while it is written leaves it torn.
  station.push_back({Cut::kInterrupt, {WritesPage(cal), 0, 0}, "calibration record", false});
  station.push_back({Cut::kTerminate, {WritesPage(cal), 0, 3}, "calibration record", false});
  station.push_back({Cut::kKill, {WritesPage(cal), 0, 4}, "calibration record", true});
  station.push_back({Cut::kDrop, {WritesPage(cal), 0, 3}, "calibration record", false});
  // A device calibrated before: its page is erased first.
  station.push_back({Cut::kKill, {ErasesPage(cal), 0, 1}, "recalibration", false});
  station.push_back({Cut::kInterrupt, {WritesRegister(kRegStreamStart), 0, 5}, "stream", false});
  // Calibrate's second range: the source at -0.8 V.
  station.push_back(
      {Cut::kTerminate, {WritesFloat(kRegJigSource, -0.8f), 0, 0}, "Calibrate", false});

  SkipWaitsClock clock(0);
  platform::ScopedClock useClock(&clock);
  TempDir dir;
  qxsim::BenchOptions options;
  options.device.identity = qxsim::StartingIdentity::kBlank;
  AddStationPeers(&options, dir.File("com3"), dir.File("results"), false);
  options.meter.msPerReading = 0;
  BenchDevice device(options);
  std::string error;
  ASSERT_TRUE(StartStationBench(&device.bench(), &error)) << error;
  std::set<uint32_t> serials;
  std::set<uint64_t> macs;
  auto run = [&](const char* name, kill::Follower* record) {
    TestHarness harness(kZ5DeviceType, FindStation(name)->mask, 1, &sink_, kDeviceTypes);
    harness.AddObserver(record);
    harness.Run();
    return harness.aborted();
  };
  for (const kill::StationRow& row : station) {
    SCOPED_TRACE(std::string(kill::CutName(row.cut)) + " at the " + row.where);
    // A device as shipped (factory defaults, not calibrated) on the same
    // line; for a recalibration, the record of the row before stays.
    device.model().BlankFlash(config, kFlashPageSize);
    device.model().SetIdentity(kDefaultSerial, kDefaultMac);
    if (std::strcmp(row.where, "recalibration") != 0)
      device.model().BlankFlash(cal, kFlashPageSize);
    const FlashImage before = Snapshot(device);
    device.ClearRequests();
    CutWatch watch(row.at);
    kill::Arm(&device, &watch, row.cut);
    kill::Follower cut(&clock, "calibration");
    const bool aborted = run("calibration", &cut);
    kill::Disarm(&device);
    ASSERT_TRUE(watch.reached());
    const FlashImage after = Snapshot(device);
    EXPECT_TRUE(after.at("firmware") == before.at("firmware"));
    EXPECT_TRUE(after.at("info") == before.at("info"));
    if (row.cut != Cut::kKill && row.cut != Cut::kGone) {
      // Only a kill, or a link gone for longer than the station waits, may
      // leave a page erased or half written.
      EXPECT_TRUE(LastPageUpdateFinished(device.Requests(), config));
      EXPECT_TRUE(LastPageUpdateFinished(device.Requests(), cal));
    }
    const bool stopped = row.cut == Cut::kInterrupt || row.cut == Cut::kTerminate;
    EXPECT_EQ(stopped, aborted);
    EXPECT_STREQ(stopped ? "aborted" : row.cut == Cut::kDrop ? "passed" : "failed", cut.Result());
    if (row.cut == Cut::kGone) {
      EXPECT_EQ(kLevelError, cut.tests()[3].status) << "the serial number is not kept as written";
    }
    if (row.finalFirst) {
      kill::Follower final(&clock, "final");
      run("final", &final);
      EXPECT_FALSE(final.passed());
      EXPECT_EQ("Check Calibration", final.tests()[5].name);
      EXPECT_EQ(kLevelFatal, final.tests()[5].status) << final.tests()[5].details;
    }
    kill::Follower next(&clock, "calibration");
    run("calibration", &next);
    for (const RecordedTest& t : next.tests()) {
      EXPECT_EQ(kLevelPassed, t.status) << t.name << ": " << t.details;
    }
    EXPECT_TRUE(serials.insert(device.model().SerialNumber()).second) << "a serial number twice";
    EXPECT_TRUE(macs.insert(device.model().Mac()).second) << "a MAC twice";
    const Bytes record = device.Flash(cal, kCalRecordBytes);
    EXPECT_FALSE(CalibrationRecordBlank(record.data()) ||
                 CalibrationRecordTorn(record.data(), false));
  }
  device.bench().Stop();
  ClearStationEnvironment();

  // The upgrade: every page's erase and write, the info page's, and the
  // points before the flash is touched and at the restart.
  struct UpgradeRow {
    Cut cut;
    CutPoint at;
  };
  std::vector<UpgradeRow> upgrade;
  for (Cut cut : {Cut::kInterrupt, Cut::kTerminate, Cut::kKill, Cut::kDrop}) {
    for (uint32_t p = 0; p < kFirmwarePages; ++p) {
      upgrade.push_back({cut, {ErasesPage(kFirmwareBase + p * kFlashPageSize), 0, 0}});
    }
    upgrade.push_back({cut, {ErasesPage(kInfoPageBase), 0, 0}});
    for (uint32_t p = 0; p < 2; ++p) {
      upgrade.push_back({cut, {WritesPage(kFirmwareBase + p * kFlashPageSize), 0, 64}});
    }
    upgrade.push_back({cut, {WritesPage(kInfoPageBase), 0, 64}});
  }
  upgrade.push_back({Cut::kInterrupt, {[](const Bytes&) { return true; }, 0, 0}});
  upgrade.push_back({Cut::kTerminate, {WritesRegister(kRegRestart), 0, 0}});

  NullConsole console;
  platform::ScopedConsole useConsole(&console);
  const std::string image = dir.File("fw.bin");
  PackedImage packed;
  packed.fwVersionBits = VersionBits(1.25f);
  packed.body = GeneratedBody(2 * kFlashPageSize, 11);
  ASSERT_TRUE(WriteFileBytes(image, PackFirmware({packed}, PackOptions()), &error)) << error;
  platform::FakeClock fake;
  platform::ScopedClock useFake(&fake);
  FlashImage upgraded;
  {
    BenchDevice clean;
    int32_t result = -1;
    RunUpgrade(clean.Handle(), image.c_str(), &result);
    ASSERT_EQ(0, result);
    upgraded = Snapshot(clean);
  }
  for (const UpgradeRow& row : upgrade) {
    SCOPED_TRACE(std::string(kill::CutName(row.cut)) + " in the upgrade at request " +
                 std::to_string(&row - upgrade.data()));
    BenchDevice target;
    const FlashImage before = Snapshot(target);
    CutWatch watch(row.at);
    kill::Arm(&target, &watch, row.cut);
    int32_t result = 0;
    RunUpgrade(target.Handle(), image.c_str(), &result);
    kill::Disarm(&target);
    ASSERT_TRUE(watch.reached());
    const bool stopped = row.cut == Cut::kInterrupt || row.cut == Cut::kTerminate;
    EXPECT_EQ(stopped, result == kUpgradeInterrupted) << result;
    EXPECT_NE(0, result);
    const FlashImage after = Snapshot(target);
    EXPECT_TRUE(after.at("config") == before.at("config"));
    EXPECT_TRUE(after.at("calibration") == before.at("calibration"));
    if (stopped) {
      // Each page as before, erased, or written whole: never half written.
      for (const char* area : {"firmware", "info"}) {
        for (size_t at = 0; at < after.at(area).size(); at += kFlashPageSize) {
          auto page = [&](const FlashImage& f) {
            return Bytes(f.at(area).begin() + at, f.at(area).begin() + at + kFlashPageSize);
          };
          const Bytes now = page(after);
          EXPECT_TRUE(now == page(before) || now == page(upgraded) ||
                      now == Bytes(kFlashPageSize, 0xFF))
              << area << " page " << at / kFlashPageSize;
        }
      }
    }
    // The operator starts qxtest again, which opens the device anew.
    fake.Advance(60000);
    int handle = 0;
    ASSERT_EQ(0, QXM_Open("z5 device type", "usb", "any identifier", &handle));
    RunUpgrade(handle, image.c_str(), &result);
    QXM_Close(handle);
    EXPECT_EQ(0, result);
    const FlashImage again = Snapshot(target);
    EXPECT_TRUE(again.at("firmware") == upgraded.at("firmware"));
    EXPECT_TRUE(again.at("info") == upgraded.at("info"));
  }
}

}  // namespace
