// Benches killed with SIGKILL keep what they acknowledged: qxsim killed at a
// random moment while flash pages are erased and written as an upgrade does,
// and qxts killed while eight stations take serial numbers and MACs, each
// restarted on the same state file round after round. QX_KILL_ROUNDS sets the
// rounds (default 8 each; run 50 by hand). And the station's programs cut
// at every page update, through a relay in front of qxsim: the next run on
// the same device passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "calibration/cal_constants.h"
#include "device/feedback_exchange.h"
#include "device/feedback_frame.h"
#include "device/flash.h"
#include "device/flash_map.h"
#include "device/register_addresses.h"
#include "device/registers.h"
#include "fwpack/firmware_pack.h"
#include "qxm/qxm.h"
#include "server/server_link.h"
#include "server/server_tests.h"
#include "sim/core/state_file.h"
#include "sim/virtual_device.h"
#include "tests/support/child_process.h"
#include "tests/support/flash_requests.h"
#include "tests/support/modbus_relay.h"
#include "tests/support/temp_dir.h"

namespace {

int Rounds() {
  const char* text = std::getenv("QX_KILL_ROUNDS");
  int n = text != nullptr ? std::atoi(text) : 0;
  return n > 0 ? n : 8;
}

class KillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = BuiltProgramDir();
    if (bin_.empty()) GTEST_SKIP() << "QX_BIN_DIR is not set";
  }
  // Starts a program and returns the endpoint it prints after prefix.
  std::string Start(std::unique_ptr<ChildProcess>* child, std::vector<std::string> args,
                    const std::string& prefix) {
    args[0] = bin_ + "/" + args[0];
    child->reset(new ChildProcess(args, {}, true));
    std::string line;
    while ((*child)->ReadLine(&line, 10000)) {
      if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
    }
    ADD_FAILURE() << args[0] << " did not start";
    return "";
  }
  // SIGKILL after a random moment of the program's work.
  static void KillLater(ChildProcess* child, std::mt19937* random, int minMs, int maxMs) {
    std::uniform_int_distribution<int> delay(minMs, maxMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay(*random)));
    child->Kill();
    EXPECT_EQ(128 + SIGKILL, child->Wait(10000));
  }

  std::string bin_;
  TempDir dir_;
  std::mt19937 random_{20240607};
};

TEST_F(KillTest, AKilledVirtualDeviceKeepsEveryFlashWriteItAnswered) {
  const std::string state = dir_.File("device.state");
  // Per page: the content last acknowledged, and whether an erase of it was
  // acknowledged after that (the page is then erased or partly rewritten).
  std::map<uint32_t, std::vector<uint8_t>> written;
  std::map<uint32_t, uint8_t> erased;  // page: the byte being written into it
  for (int round = 0; round < Rounds(); ++round) {
    std::unique_ptr<ChildProcess> sim;
    std::string usb = Start(&sim,
                            {"qxsim", "--usb", "127.0.0.1:0", "--eth", "127.0.0.1:0",
                             "--ts-endpoint", "127.0.0.1:0", "--state", state},
                            "usb endpoint ");
    ASSERT_FALSE(usb.empty());
    setenv("QXM_USB_ENDPOINT", usb.c_str(), 1);
    int handle = 0;
    ASSERT_EQ(0, QXM_Open("z5", "usb", "", &handle));
    std::thread killer(KillLater, sim.get(), &random_, 5, 150);
    // An erase whose answer never came may still have been done.
    uint32_t unanswered = 0;
    for (uint32_t k = 0;; ++k) {
      uint32_t page = kFirmwareBase + ((round * 7 + k) % 16) * kFlashPageSize;
      std::vector<uint8_t> content(kFlashPageSize, static_cast<uint8_t>(round * 16 + k));
      if (EraseFlashPage(handle, kFirmwareKey, page) != 0) {
        unanswered = page;
        break;
      }
      erased[page] = content[0];
      if (WriteFlash(handle, kFirmwareKey, page, kFlashPageSize, content.data()) != 0) break;
      erased.erase(page);
      written[page] = content;
    }
    killer.join();
    QXM_Close(handle);
    unsetenv("QXM_USB_ENDPOINT");

    // The next start takes the state file and its journal as a device would
    // find its flash.
    std::vector<qxsim::StateSection> sections;
    std::vector<qxsim::FlashPatch> patches;
    std::string error;
    ASSERT_EQ(qxsim::StateFileRead::kLoaded, qxsim::ReadStateFile(state, &sections, &error))
        << error;
    ASSERT_TRUE(qxsim::ReadJournal(state + ".journal", &patches, &error)) << error;
    qxsim::VirtualDevice device;
    ASSERT_TRUE(device.LoadState(sections, &error)) << error;
    for (const qxsim::FlashPatch& patch : patches) device.PokeFlash(patch.address, patch.bytes);
    for (auto& page : written) {
      if (erased.count(page.first) != 0) continue;
      std::vector<uint8_t> now = device.PeekFlash(page.first, kFlashPageSize);
      // The unanswered erase: the page holds what was written, or nothing.
      if (page.first == unanswered && now == std::vector<uint8_t>(kFlashPageSize, 0xFF)) {
        page.second = now;
      }
      ASSERT_EQ(page.second, now) << "round " << round << " page " << page.first;
    }
    for (const auto& page : erased) {
      for (uint8_t byte : device.PeekFlash(page.first, kFlashPageSize)) {
        ASSERT_TRUE(byte == 0xFF || byte == page.second)
            << "round " << round << " page " << page.first;
      }
    }
  }
}

TEST_F(KillTest, AKilledTestServerNeverHandsOutANumberTwice) {
  const std::string state = dir_.File("qxts.state");
  std::mutex mutex;
  std::set<uint64_t> serials;
  std::set<uint64_t> macs;
  size_t twice = 0;
  for (int round = 0; round < Rounds(); ++round) {
    std::unique_ptr<ChildProcess> server;
    std::string endpoint = Start(
        &server, {"qxts", "--ts-endpoint", "127.0.0.1:0", "--ts-state", state}, "test server: ");
    ASSERT_FALSE(endpoint.empty());
    std::atomic<bool> dead{false};
    std::vector<std::thread> stations;
    for (int s = 0; s < 8; ++s) {
      stations.emplace_back([&] {
        ServerLink link(endpoint.c_str(), 2000);
        if (link.Connect({"QXTestZ5", 0.12, 0x1702, 0x5E2C91A4}) != 0) return;
        for (int k = 0; !dead; ++k) {
          uint64_t value = 0;
          bool serial = k % 2 == 0;
          if ((serial ? link.GetSerial(&value) : link.GetMac(&value)) != 0) return;
          std::lock_guard<std::mutex> lock(mutex);
          if (!(serial ? serials : macs).insert(value).second) ++twice;
        }
      });
    }
    KillLater(server.get(), &random_, 20, 200);
    dead = true;
    for (std::thread& t : stations) t.join();
  }
  EXPECT_EQ(0u, twice);
  EXPECT_GT(serials.size(), static_cast<size_t>(Rounds())) << "the stations got numbers";
  // The next server goes on after every number handed out.
  std::unique_ptr<ChildProcess> server;
  std::string endpoint = Start(
      &server, {"qxts", "--ts-endpoint", "127.0.0.1:0", "--ts-state", state}, "test server: ");
  ServerLink link(endpoint.c_str(), 2000);
  ASSERT_EQ(0, link.Connect({"QXTestZ5", 0.12, 0x1702, 0x5E2C91A4}));
  uint64_t next = 0;
  ASSERT_EQ(0, link.GetSerial(&next));
  EXPECT_GT(next, *serials.rbegin());
}

// --- The kill matrix of the station's programs -----------------------------------

enum class Cut { kInterrupt, kTerminate, kKill, kDrop };
const char* const kCutNames[] = {"SIGINT", "SIGTERM", "SIGKILL", "drop"};

struct KillRow {
  bool upgrade;  // qxtest, else the calibration station
  Cut cut;
  CutPoint at;
  const char* where;
  bool uncut;  // the point lies within a page write, which a stop waits for
};

// The longest first (a cut late in the station's run, an upgrade's wait),
// so that the line's devices finish together.
std::vector<KillRow> KillRows() {
  std::vector<KillRow> rows;
  const struct {
    CutPoint at;  // the offset is each cut's own
    int offsets[4];
    const char* where;
  } updates[] = {// A kill after a piece or two leaves the record torn; after the
                 // configuration page's erase, the page erased.
                 {{WritesPage(kCalibrationPageBase), 0, 0}, {0, 3, 4, 3}, "calibration record"},
                 {{ErasesPage(kConfigPageBase), 0, 0}, {0, 40, 1, 2}, "serial number's update"},
                 {{ErasesPage(kConfigPageBase), 1, 0}, {0, 40, 1, 2}, "MAC's update"}};
  const struct {
    CutPoint at;
    const char* where;
    bool uncut;
  } steps[] = {{{ErasesPage(kFirmwareBase + 60 * kFlashPageSize), 0, 0}, "firmware erase", false},
               {{WritesPage(kFirmwareBase), 0, 64}, "firmware page", true},
               {{WritesPage(kInfoPageBase), 0, 64}, "info page", true}};
  auto station = [&](int u) {
    for (int c = 0; c < 4; ++c) {
      CutPoint at = updates[u].at;
      at.offset = updates[u].offsets[c];
      rows.push_back({false, static_cast<Cut>(c), at, updates[u].where, true});
    }
  };
  station(0);
  rows.push_back(
      {false, Cut::kInterrupt, {WritesFloat(kRegJigSource, -0.8f), 0, 0}, "Calibrate", false});
  for (const auto& step : steps) {
    for (int c = 0; c < 4; ++c) {
      rows.push_back({true, static_cast<Cut>(c), step.at, step.where, step.uncut});
    }
  }
  rows.push_back({true, Cut::kTerminate, {WritesRegister(kRegRestart), 0, 0}, "restart", false});
  rows.push_back(
      {false, Cut::kTerminate, {WritesRegister(kRegStreamStart), 0, 5}, "stream", false});
  station(1);
  station(2);
  return rows;
}

// One device of the line: its endpoints.
struct LineDevice {
  std::string usb;
  std::string eth;
  std::string meter;
};

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class KillMatrixTest : public KillTest {
 protected:
  static constexpr int kDevices = 8;

  void StartLine() {
    std::unique_ptr<ChildProcess>& sim = sim_;
    sim.reset(new ChildProcess(
        {bin_ + "/qxsim", "--devices", std::to_string(kDevices), "--usb", "127.0.0.1:0", "--eth",
         "127.0.0.1:0", "--ts-endpoint", "127.0.0.1:0", "--meter-link", dir_.File("meter"),
         "--meter-fast", "--restart-seconds", "1"},
        {}, true));
    devices_.resize(kDevices);
    std::string line;
    while (sim->ReadLine(&line, 10000)) {
      if (line.rfind("test server ", 0) == 0) {
        server_ = line.substr(12);
        break;
      }
      int k = 0;
      if (line.rfind("device ", 0) == 0) {
        k = std::stoi(line.substr(7));
        line = line.substr(line.find(' ', 7) + 1);
      }
      const size_t space = line.rfind(' ');
      const std::string name = line.substr(0, space);
      const std::string value = line.substr(space + 1);
      if (name == "usb endpoint") devices_[k].usb = value;
      if (name == "eth endpoint") devices_[k].eth = value;
      if (name == "meter") devices_[k].meter = value;
    }
    ASSERT_FALSE(server_.empty()) << "qxsim did not start";
  }

  // The device as shipped: factory default identity, no calibration. The
  // library's handle table is the test process's own: one user at a time.
  void Ship(const LineDevice& device) {
    std::lock_guard<std::mutex> lock(device_mutex_);
    int h = 0;
    ASSERT_EQ(0, QXM_Open("z5", "tcp", device.usb.c_str(), &h));
    uint8_t serial[kSerialRecordSize];
    uint8_t mac[kMacRecordSize];
    BuildSerialRecord(kDefaultSerial, serial);
    BuildMacRecord(kDefaultMac, mac);
    EXPECT_EQ(0, EraseFlashPage(h, kConfigPageKey, kConfigPageBase));
    EXPECT_EQ(0, WriteFlashBytes(h, kConfigPageKey, kConfigPageBase, sizeof serial, serial));
    EXPECT_EQ(
        0, WriteFlashBytes(h, kConfigPageKey, kConfigPageBase + kMacRecordOffset, sizeof mac, mac));
    EXPECT_EQ(0, EraseFlashPage(h, kCalibrationPageKey, kCalibrationPageBase));
    QXM_Close(h);
  }

  // Until a device restarted by an upgrade answers again (the bench's
  // restart takes a second).
  void WaitForDevice(const LineDevice& device) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      {
        std::lock_guard<std::mutex> lock(device_mutex_);
        int h = 0;
        uint32_t serial = 0;
        const bool up = QXM_Open("z5", "tcp", device.usb.c_str(), &h) == 0 &&
                        ReadU32(h, kRegSerialNumber, &serial) == 0;
        QXM_Close(h);
        if (up) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ADD_FAILURE() << "the device did not come back";
  }

  // After a passing calibration run: the device's own identity, not seen on
  // another device, and a whole record.
  void ExpectCalibrated(const LineDevice& device) {
    std::lock_guard<std::mutex> lock(device_mutex_);
    int h = 0;
    ASSERT_EQ(0, QXM_Open("z5", "tcp", device.usb.c_str(), &h));
    uint32_t serial = 0;
    FeedbackFrame mac(FrameDirection::Read, kRegMac, 3, FrameDataType::Bytes);
    uint8_t record[kCalRecordBytes];
    EXPECT_EQ(0, ReadU32(h, kRegSerialNumber, &serial));
    EXPECT_EQ(0, FeedbackExchange(h, 1, &mac));
    EXPECT_EQ(0, ReadFlash(h, kCalibrationPageKey, kCalibrationPageBase, kCalRecordBytes, record));
    QXM_Close(h);
    uint64_t m = 0;
    for (size_t i = 0; i < 6; ++i) m = m << 8 | mac.Bytes()[i];
    EXPECT_TRUE(serials_.insert(serial).second) << "serial number " << serial << " twice";
    EXPECT_TRUE(macs_.insert(m).second) << "MAC " << m << " twice";
    EXPECT_FALSE(CalibrationRecordBlank(record) || CalibrationRecordTorn(record, false));
  }

  // Runs qxtest (upgrade) or the calibration station (its records into
  // records) on device, through relays that make the cut of row (null:
  // directly, uncut); returns its exit status, its output in *out and the
  // requests that reached the device in *log.
  int Run(const KillRow* row, bool upgrade, const LineDevice& device, const std::string& records,
          std::string* out, std::vector<Bytes>* log) {
    std::unique_ptr<ModbusRelay> usb;
    std::unique_ptr<ModbusRelay> eth;
    std::atomic<pid_t> pid{0};
    std::mutex mutex;
    std::unique_ptr<CutWatch> watch;
    std::string usbEndpoint = device.usb;
    std::string ethEndpoint = device.eth;
    if (row != nullptr) {
      usb = std::make_unique<ModbusRelay>(device.usb);
      eth = std::make_unique<ModbusRelay>(device.eth);
      usbEndpoint = usb->endpoint();
      ethEndpoint = eth->endpoint();
      watch = std::make_unique<CutWatch>(row->at);
      auto hook = [&](const Bytes& request) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!watch->Due(request)) {
          log->push_back(request);
          return true;
        }
        while (pid.load() == 0) std::this_thread::yield();
        switch (row->cut) {
          case Cut::kInterrupt:
            // Twice, the second while the page is finished.
            SendSignal(pid, SIGINT);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            SendSignal(pid, SIGINT);
            break;
          case Cut::kTerminate:
            SendSignal(pid, SIGTERM);
            break;
          case Cut::kKill:
            SendSignal(pid, SIGKILL);
            return false;
          case Cut::kDrop:
            usb->DownFor(2000);
            eth->DownFor(2000);
            return false;
        }
        log->push_back(request);
        return true;
      };
      usb->SetHook(hook);
      eth->SetHook(hook);
    }
    std::vector<std::string> args;
    if (upgrade) {
      args = {bin_ + "/qxtest", "--file", image_, "--no-wait"};
    } else {
      args = {bin_ + "/qxstation", "--station",         "calibration", "--record", records,
              "--junit",           records + "/run.xml"};
    }
    ChildProcess program(args,
                         {{"QXM_USB_ENDPOINT", usbEndpoint},
                          {"QX_DEVICE_IP", ethEndpoint},
                          {"QXTS_ENDPOINT", server_},
                          {"QX_COM3", device.meter}},
                         true);
    pid = program.pid();
    *out = program.ReadAll(120000);
    const int status = program.Wait(10000);
    if (watch != nullptr) {
      std::lock_guard<std::mutex> lock(mutex);
      EXPECT_TRUE(watch->reached()) << "the cut never came";
    }
    if (usb != nullptr) usb->SetHook(nullptr);
    if (eth != nullptr) eth->SetHook(nullptr);
    return status;
  }

  void RunRow(const KillRow& row, const LineDevice& device, int index) {
    SCOPED_TRACE(std::string(kCutNames[static_cast<int>(row.cut)]) + " at the " + row.where);
    const std::string records = dir_.File("records-" + std::to_string(index));
    if (!row.upgrade) Ship(device);
    std::string out;
    std::vector<Bytes> log;
    const int status = Run(&row, row.upgrade, device, records, &out, &log);
    const int expected[2][4] = {{130, 143, 128 + SIGKILL, 0}, {1, 1, 128 + SIGKILL, 1}};
    EXPECT_EQ(expected[row.upgrade][static_cast<int>(row.cut)], status) << out;
    const bool stopped = row.cut == Cut::kInterrupt || row.cut == Cut::kTerminate;
    // Whatever page was being written is whole, except after a kill, and
    // after a drop during an upgrade (which fails with its code and leaves
    // the page to the next upgrade).
    if (row.cut != Cut::kKill && !(row.upgrade && row.cut == Cut::kDrop)) {
      std::set<uint32_t> written;
      for (const Bytes& r : log) {
        if (TouchOf(r).write) written.insert(TouchOf(r).page);
      }
      for (uint32_t page : written) EXPECT_TRUE(LastPageUpdateFinished(log, page)) << page;
    }
    if (row.cut == Cut::kInterrupt && row.uncut) {
      EXPECT_NE(std::string::npos,
                out.find("Stop requested: finishing the page being written to the device first\n"))
          << out;
    }
    if (row.upgrade) {
      if (stopped) {
        EXPECT_NE(std::string::npos, out.find("\r\nUpgrade interrupted")) << out;
      }
    } else {
      std::vector<std::string> files;
      if (std::filesystem::exists(records)) {
        for (const auto& e : std::filesystem::directory_iterator(records)) {
          files.push_back(e.path().filename().string());
        }
      }
      std::sort(files.begin(), files.end());
      if (row.cut == Cut::kKill) {
        EXPECT_TRUE(files.empty()) << "a killed run leaves nothing behind: " << files[0];
      } else {
        ASSERT_EQ(2u, files.size());
        EXPECT_EQ("run.xml", files[1]);
        const nlohmann::json json = nlohmann::json::parse(ReadFileText(records + "/" + files[0]));
        EXPECT_EQ(stopped ? "aborted" : "passed", json.at("result").get<std::string>());
        EXPECT_NE(std::string::npos, ReadFileText(records + "/run.xml")
                                         .find(std::string("<property name=\"result\" value=\"") +
                                               (stopped ? "aborted" : "passed") + "\"/>"));
      }
      if (stopped) {
        EXPECT_NE(std::string::npos, out.find("** Aborted **")) << out;
      }
    }
    // The next run on the same device passes, uncut.
    if (row.upgrade) WaitForDevice(device);
    std::string next;
    EXPECT_EQ(0, Run(nullptr, row.upgrade, device, records + "-next", &next, &log)) << next;
    if (row.upgrade) {
      EXPECT_NE(std::string::npos, next.find("    Current FW: 1.2500")) << next;
    } else {
      ExpectCalibrated(device);
    }
  }

  std::unique_ptr<ChildProcess> sim_;
  std::vector<LineDevice> devices_;
  std::string server_;
  std::string image_;
  std::mutex device_mutex_;
  std::set<uint32_t> serials_;
  std::set<uint64_t> macs_;
};

// Each row on the first device free of the line's eight; runs the calibration
// station (or an upgrade), cuts it, checks what it left, runs it again.
TEST_F(KillMatrixTest, EachCutOfTheStationOrAnUpgradeLeavesADeviceTheNextRunPasses) {
  const auto start = std::chrono::steady_clock::now();
  StartLine();
  PackedImage packed;
  packed.fwVersionBits = VersionBits(1.25f);
  packed.body = GeneratedBody(50000, 7);
  image_ = dir_.File("fw.bin");
  std::string error;
  ASSERT_TRUE(WriteFileBytes(image_, PackFirmware({packed}, PackOptions()), &error)) << error;
  const std::vector<KillRow> rows = KillRows();
  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  for (int k = 0; k < kDevices; ++k) {
    workers.emplace_back([&, k] {
      for (size_t i = next++; i < rows.size(); i = next++) {
        RunRow(rows[i], devices_[k], static_cast<int>(i));
      }
    });
  }
  for (std::thread& t : workers) t.join();
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  std::printf("kill matrix: %zu cuts on %d devices in %lld s\n", rows.size(), kDevices,
              static_cast<long long>(seconds.count()));
}

}  // namespace
