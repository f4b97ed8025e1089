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
#include <string>
#include <vector>

#include "device/flash_map.h"
#include "device/register_addresses.h"
#include "harness/harness.h"
#include "station/station_table.h"
#include "station/stations.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "qxm/qxm_errors.h"
#include "tests/support/bench_device.h"
#include "tests/support/station_bench.h"
#include "tests/support/temp_dir.h"
#include "fwpack/firmware_pack.h"
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

// Where each request of a run goes: the flash page it erases, writes or
// points a read at, if any.
struct FlashTouch {
  bool erase = false;
  bool write = false;
  bool readPointer = false;
  uint32_t page = 0;
};

FlashTouch TouchOf(const Bytes& request) {
  FlashTouch t;
  ForEachRecord(request, [&](bool write, uint16_t address, size_t count, size_t offset) {
    if (!write || count < 2) return;
    const uint32_t value = GetU32BE(request.data(), request.size(), offset);
    if (address == kRegFlashErase) t.erase = true;
    if (address == kRegFlashWriteWindow) t.write = true;
    if (address == kRegFlashReadPointer) t.readPointer = true;
    if (address == kRegFlashErase || address == kRegFlashWriteWindow ||
        address == kRegFlashReadPointer) {
      t.page = value & kFlashPageMask;
    }
  });
  return t;
}

// The page updates in a run's requests: each a stretch of consecutive
// requests on the page (its read, erase and writes) with a write in it.
std::vector<std::vector<int>> PageUpdates(const std::vector<Bytes>& requests, uint32_t page) {
  std::vector<std::vector<int>> updates;
  std::vector<int> stretch;
  bool writes = false;
  for (size_t i = 0; i <= requests.size(); ++i) {
    const FlashTouch t = i < requests.size() ? TouchOf(requests[i]) : FlashTouch();
    if (t.page == page) {
      stretch.push_back(static_cast<int>(i));
      writes |= t.erase || t.write;
      continue;
    }
    if (writes) updates.push_back(stretch);
    stretch.clear();
    writes = false;
  }
  return updates;
}

// The page after each of its updates, replayed from the requests onto the
// page as it was: an erase fills it with 0xFF, a write clears bits.
std::vector<Bytes> PageStates(const Bytes& before, const std::vector<Bytes>& requests,
                              uint32_t page) {
  std::vector<Bytes> states = {before};
  Bytes now = before;
  for (const std::vector<int>& update : PageUpdates(requests, page)) {
    for (int i : update) {
      const Bytes& r = requests[i];
      ForEachRecord(r, [&](bool write, uint16_t address, size_t count, size_t offset) {
        if (!write || count < 2) return;
        const uint32_t value = GetU32BE(r.data(), r.size(), offset);
        if (address == kRegFlashErase && value == page) now.assign(kFlashPageSize, 0xFF);
        if (address != kRegFlashWriteWindow || (value & kFlashPageMask) != page) return;
        for (size_t k = 0; k < 2 * (count - 2) && offset + 4 + k < r.size(); ++k) {
          const size_t at = (value & kFlashOffsetMask) + k;
          if (at < now.size()) now[at] &= r[offset + 4 + k];
        }
      });
    }
    states.push_back(now);
  }
  return states;
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

}  // namespace
