// The records the built programs leave on the bench: a calibration run's
// whole record against the device's own calibration page, the cause of each
// kind of failure, the upgrade's image digest, every record against the
// published schema, and a console that a record does not change.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "calibration/cal_constants.h"
#include "device/flash.h"
#include "device/flash_map.h"
#include "platform/file.h"
#include "qxm/qxm.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using nlohmann::json;

// The bench seeded so that two runs show the same console.
const std::vector<std::string> kSeeded = {
    "--max",        "--analog-seed",  "3", "--ts-first-serial", "470010100", "--ts-first-mac",
    "027C4B003000", "--clock-offset", "0", "--meter-fast"};

std::vector<json> Records(const std::string& dir) {
  std::vector<json> out;
  if (!std::filesystem::is_directory(dir)) return out;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".json") continue;
    std::ifstream in(entry.path());
    out.push_back(json::parse(in, nullptr, false));
  }
  return out;
}

const json* Find(const json& list, const std::string& name) {
  for (const json& item : list) {
    if (item.value("name", "") == name) return &item;
  }
  return nullptr;
}

class RecordsEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = BuiltProgramDir();
    ASSERT_FALSE(bin_.empty()) << "QX_BIN_DIR is not set";
    dir_ = temp_.path();
  }

  // A bench of its own per run: name names its folder.
  struct Bench {
    std::unique_ptr<ChildProcess> sim;
    std::string usb, eth, server, meter;
  };
  void StartSim(const std::string& name, std::vector<std::string> extra, Bench* bench) {
    std::vector<std::string> args = {bin_ + "/qxsim", "--usb",        "127.0.0.1:0",
                                     "--eth",         "127.0.0.1:0",  "--ts-endpoint",
                                     "127.0.0.1:0",   "--meter-link", dir_ + "/" + name + ".meter"};
    args.insert(args.end(), extra.begin(), extra.end());
    bench->sim = std::make_unique<ChildProcess>(args, ChildProcess::Environment(), true);
    std::string line;
    while (bench->server.empty() && bench->sim->ReadLine(&line, 10000)) {
      if (line.rfind("usb endpoint ", 0) == 0) bench->usb = line.substr(13);
      if (line.rfind("eth endpoint ", 0) == 0) bench->eth = line.substr(13);
      if (line.rfind("test server ", 0) == 0) bench->server = line.substr(12);
    }
    bench->meter = dir_ + "/" + name + ".meter";
    ASSERT_FALSE(bench->usb.empty());
  }
  ChildProcess::Environment Env(const Bench& b) const {
    return {{"QXM_USB_ENDPOINT", b.usb},
            {"QX_DEVICE_IP", b.eth},
            {"QXTS_ENDPOINT", b.server},
            {"QX_COM3", b.meter}};
  }
  // A calibration run on its own bench; the record (if asked) in dir_/name.
  int Station(const std::string& name, std::vector<std::string> sim, bool record, std::string* out,
              ChildProcess::Environment env = {}, Bench* keep = nullptr, bool force = false) {
    Bench bench;
    StartSim(name, sim, &bench);
    ChildProcess::Environment all = Env(bench);
    all.insert(all.end(), env.begin(), env.end());
    std::vector<std::string> args = {bin_ + "/qxstation", "--station", "calibration"};
    if (record) args.insert(args.end(), {"--record", dir_ + "/" + name});
    if (force) args.push_back("--force");  // past the check for a missing peer
    ChildProcess station(args, all, true);
    *out = station.ReadAll(120000);
    int status = station.Wait(10000);
    if (keep != nullptr) *keep = std::move(bench);
    return status;
  }
  json OnlyRecord(const std::string& name) {
    std::vector<json> records = Records(dir_ + "/" + name);
    EXPECT_EQ(1u, records.size()) << name;
    return records.empty() ? json() : records[0];
  }

  // What the schema's validator (Debian's python3-jsonschema) says of the
  // records in folders.
  std::string Validate(const std::vector<std::string>& folders) {
    std::vector<std::string> args = {"/usr/bin/python3",
                                     QX_SOURCE_DIR "/tests/line/validate_records.py",
                                     QX_SOURCE_DIR "/schema/record.schema.json"};
    args.insert(args.end(), folders.begin(), folders.end());
    ChildProcess check(args, {}, true);
    std::string verdict = check.ReadAll(60000);
    check.Wait(10000);
    return verdict;
  }

  std::string bin_;
  TempDir temp_;
  std::string dir_;
};

// What differs between two runs of the same bench: the clock it set and
// the stream's scan count.
std::string Masked(const std::string& console) {
  static const std::regex kVarying("Time set to: [0-9]+|Passed [0-9]+ Stream Scans");
  return std::regex_replace(console, kVarying, "#");
}

TEST_F(RecordsEndToEnd, ACalibrationRecordHoldsWhatTheDeviceMeasuredAndStores) {
  std::string plain;
  std::string recorded;
  Bench bench;
  std::thread other([&] { EXPECT_EQ(0, Station("plain", kSeeded, false, &plain)); });
  EXPECT_EQ(0, Station("pass", kSeeded, true, &recorded, {}, &bench)) << recorded;
  other.join();
  EXPECT_EQ(Masked(plain), Masked(recorded)) << "a record must not change the console";

  const json r = OnlyRecord("pass");
  ASSERT_TRUE(r.is_object());
  EXPECT_EQ("1 passed, 0 failed\n", Validate({dir_ + "/pass"}));
  EXPECT_EQ("passed", r["result"]);
  EXPECT_TRUE(r["cause"].is_null());
  EXPECT_EQ(470010100, r["device"]["serialNumber"]);
  EXPECT_EQ("02.7C.4B.00.30.00", r["device"]["mac"]);
  EXPECT_EQ("Z5-Max", r["device"]["edition"]);
  EXPECT_EQ("1.0000", r["device"]["firmware"]);
  EXPECT_EQ(6, r["jig"]["type"]);
  EXPECT_EQ(3, r["jig"]["code"]);
  EXPECT_EQ(6u, r["jig"]["values"].size());
  for (const char* field : {"host", "build", "limits", "id"}) {
    EXPECT_TRUE(r[field].is_string() && !r[field].get<std::string>().empty()) << field;
  }

  // The supply as the console showed it, with the calibration limits.
  const json* supply = Find(r["tests"], "Vs and Current");
  ASSERT_NE(nullptr, supply);
  const json* vs = Find((*supply)["measurements"], "Vs");
  ASSERT_NE(nullptr, vs);
  char shown[32];
  std::snprintf(shown, sizeof shown, "Vs: %.03fV", (*vs)["value"].get<double>());
  EXPECT_NE(std::string::npos, recorded.find(shown)) << shown;
  EXPECT_EQ(4.7, (*vs)["low"]);
  EXPECT_EQ(5.5, (*vs)["high"]);
  EXPECT_EQ("pass", (*vs)["outcome"]);

  // Each of the 41 constants as the device holds them.
  int h = 0;
  ASSERT_EQ(0, QXM_Open("z5", "tcp", bench.usb.c_str(), &h));
  uint8_t page[kCalRecordBytes];
  ASSERT_EQ(0, ReadFlash(h, kCalibrationPageKey, kCalibrationPageBase, kCalRecordBytes, page));
  QXM_Close(h);
  float stored[kCalConstantCount];
  DecodeCalibrationRecord(page, stored);
  const json* calibrate = Find(r["tests"], "Calibrate");
  ASSERT_NE(nullptr, calibrate);
  for (size_t i = 0; i < kCalConstantCount; ++i) {
    const json* m = Find((*calibrate)["measurements"], CalConstantTable[i].name);
    ASSERT_NE(nullptr, m) << CalConstantTable[i].name;
    const double value = (*m)["value"];
    EXPECT_LE(std::fabs(value - stored[i]), 1e-6 * std::fabs(stored[i]))
        << CalConstantTable[i].name;
    double low = 0.0;
    double high = 0.0;
    ConstantWindow(i, &low, &high);
    EXPECT_EQ(low, (*m)["low"]);
    EXPECT_EQ(high, (*m)["high"]);
  }
}

TEST_F(RecordsEndToEnd, EachFailureCarriesItsCauseAndEveryRecordMeetsTheSchema) {
  struct Case {
    const char* name;
    std::vector<std::string> sim;
    ChildProcess::Environment env;
    const char* cause;
    const char* test;  // the test that failed first
  };
  std::vector<std::string> deadDac = kSeeded;
  deadDac.push_back("--fault-dead-dac");
  std::vector<std::string> supply = kSeeded;
  supply.insert(supply.end(), {"--fault-supply", "4.0"});
  std::vector<std::string> drop = kSeeded;
  drop.insert(drop.end(), {"--fault-drop-after", "40"});
  const std::vector<Case> cases = {
      {"dac", deadDac, {}, "device", "DAC Test"},
      {"supply", supply, {}, "device", "Vs and Current"},
      {"drop", drop, {}, "link", "Serial Number"},
      {"server", kSeeded, {{"QXTS_ENDPOINT", "127.0.0.1:1"}}, "server", "Connect to QXTest Server"},
      {"meter", kSeeded, {{"QX_COM3", dir_ + "/no-meter"}}, "instrument", "Calibrate"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(1, Station(c.name, c.sim, true, &out, c.env, nullptr, !c.env.empty()))
        << c.name << "\n"
        << out;
    const json r = OnlyRecord(c.name);
    if (!r.is_object()) continue;
    EXPECT_EQ("failed", r["result"]) << c.name;
    EXPECT_EQ(c.cause, r["cause"]) << c.name;
    const json* failed = Find(r["tests"], c.test);
    ASSERT_NE(nullptr, failed) << c.name;
    EXPECT_EQ(c.cause, (*failed)["cause"]) << c.name;
  }

  // Stopped by the operator in the middle of the run.
  Bench bench;
  StartSim("stopped", kSeeded, &bench);
  ChildProcess station(
      {bin_ + "/qxstation", "--station", "calibration", "--record", dir_ + "/stopped"}, Env(bench),
      true);
  ASSERT_TRUE(station.ReadUntil("DAC Test                    Running", 60000));
  station.Interrupt();
  station.ReadAll(30000);
  station.Wait(10000);
  const json stopped = OnlyRecord("stopped");
  EXPECT_EQ("aborted", stopped.value("result", ""));
  EXPECT_EQ("aborted", stopped.value("cause", ""));

  // An upgrade that completes, one refused for its file and one stopped.
  const std::string image = dir_ + "/Z5_firmware_1.25.bin";
  ChildProcess pack({bin_ + "/qxfwpack", "-o", image, "--generate", "50000", "--seed", "7",
                     "--fw-version", "1.25"},
                    {}, true);
  ASSERT_EQ(0, pack.Wait(30000));
  Bench device;
  StartSim("upgrade", {"--restart-seconds", "1"}, &device);
  const ChildProcess::Environment usb = {{"QXM_USB_ENDPOINT", device.usb}};
  const std::string upgrades = dir_ + "/upgrades";
  ChildProcess good({bin_ + "/qxtest", "--file", image, "--no-wait", "--record", upgrades}, usb,
                    true);
  good.ReadAll(90000);
  EXPECT_EQ(0, good.Wait(10000));
  ChildProcess digest({"/usr/bin/sha256sum", image}, {}, true);
  const std::string sum = digest.ReadAll(10000).substr(0, 64);
  std::vector<json> records = Records(upgrades);
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(sum, records[0]["upgrade"]["image"]["sha256"]);
  EXPECT_EQ("1.2500", records[0]["upgrade"]["after"]["firmware"]);
  ChildProcess refused(
      {bin_ + "/qxtest", "--file", dir_ + "/missing.bin", "--no-wait", "--record", upgrades}, usb,
      true);
  refused.ReadAll(30000);
  EXPECT_EQ(1, refused.Wait(10000));
  ChildProcess cut({bin_ + "/qxtest", "--file", image, "--no-wait", "--record", upgrades}, usb,
                   true);
  ASSERT_TRUE(cut.ReadUntil("Waiting: ", 60000));
  cut.Interrupt();
  cut.ReadAll(30000);
  cut.Wait(10000);
  std::vector<std::string> results;
  for (const json& u : Records(upgrades))
    results.push_back(u.value("result", "") + "/" +
                      (u["cause"].is_null() ? "-" : u.value("cause", "")));
  std::sort(results.begin(), results.end());
  EXPECT_EQ((std::vector<std::string>{"aborted/aborted", "failed/station", "passed/-"}), results);

  // Every record of both programs against the published schema.
  std::vector<std::string> folders = {upgrades, dir_ + "/stopped"};
  for (const Case& c : cases) folders.push_back(dir_ + "/" + c.name);
  EXPECT_EQ("9 passed, 0 failed\n", Validate(folders));
}

}  // namespace
