// The line: one qxsim serving four devices against one test server, and four
// qxstation processes running at once, as four stations of a line do.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kDevices = 4;

class LineEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = BuiltProgramDir();
    ASSERT_FALSE(bin_.empty()) << "QX_BIN_DIR is not set";
    sim_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{bin_ + "/qxsim", "--devices=4", "--usb", "127.0.0.1:0", "--eth",
                                 "127.0.0.1:0", "--ts-endpoint", "127.0.0.1:0", "--ts-results",
                                 dir_.File("results"), "--meter-link", dir_.File("meter")},
        ChildProcess::Environment(), true);
    std::string line;
    std::regex endpoint("(device ([0-9]) )?(usb endpoint|eth endpoint|meter) (.*)");
    while (sim_->ReadLine(&line, 10000)) {
      std::smatch m;
      if (line.rfind("test server ", 0) == 0) {
        server_ = line.substr(12);
        break;
      }
      if (std::regex_match(line, m, endpoint)) {
        seen_[m[2].str().empty() ? 0 : std::stoi(m[2])][m[3]] = m[4];
      }
    }
    ASSERT_FALSE(server_.empty()) << "qxsim printed no test server";
    ASSERT_EQ(static_cast<size_t>(kDevices), seen_.size());
  }
  // Runs one station per device at once; their outputs, by device.
  std::vector<std::string> RunStations(const std::vector<std::string>& args) {
    std::vector<std::string> out(kDevices);
    std::vector<int> status(kDevices, -1);
    std::vector<std::thread> stations;
    for (int k = 0; k < kDevices; ++k) {
      stations.emplace_back([&, k] {
        std::vector<std::string> all = {bin_ + "/qxstation"};
        all.insert(all.end(), args.begin(), args.end());
        ChildProcess station(all,
                             {{"QXM_USB_ENDPOINT", seen_[k]["usb endpoint"]},
                              {"QX_DEVICE_IP", seen_[k]["eth endpoint"]},
                              {"QX_COM3", seen_[k]["meter"]},
                              {"QXTS_ENDPOINT", server_}},
                             true);
        out[k] = station.ReadAll(120000);
        status[k] = station.Wait(120000);
      });
    }
    for (std::thread& t : stations) t.join();
    for (int k = 0; k < kDevices; ++k) EXPECT_NE(-1, status[k]) << "station " << k << " hung";
    return out;
  }
  static std::string Find(const std::string& text, const char* pattern) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : std::string();
  }

  TempDir dir_;
  std::string bin_;
  std::string server_;
  std::map<int, std::map<std::string, std::string>> seen_;
  std::unique_ptr<ChildProcess> sim_;
};

TEST_F(LineEndToEnd, FourStationsAtOnceGetTheirOwnIdentityAndReportOnce) {
  // The calibration station: every device gets a serial number and a MAC of
  // its own, and reports its constants and its results.
  std::vector<std::string> out = RunStations({"--station", "calibration"});
  std::set<std::string> serials;
  std::set<std::string> macs;
  for (int k = 0; k < kDevices; ++k) {
    serials.insert(Find(out[k], "New Serial: ([0-9]+)"));
    macs.insert(Find(out[k], "MAC Written: ([0-9A-F.]+)"));
  }
  serials.erase("");
  macs.erase("");
  EXPECT_EQ(static_cast<size_t>(kDevices), serials.size());
  EXPECT_EQ(static_cast<size_t>(kDevices), macs.size());

  // Each station's results reach the server once.
  out = RunStations({"--mask", "0x10400"});
  for (int k = 0; k < kDevices; ++k) {
    EXPECT_NE(std::string::npos, out[k].find("Overall Result:           ** Passed **")) << out[k];
  }
  std::ifstream in(dir_.File("results"));
  std::string line;
  std::map<std::string, int> lines;  // by command word
  while (std::getline(in, line)) {
    const std::string command = line.substr(0, line.find(' '));
    ++lines[command];
    if (command != "qtest") continue;
    EXPECT_EQ(
        "qtest 0x0000000000000000 {Open Quenlox : Passed : Quenlox Z5 Found;"
        "Connect to QXTest Server : Passed : Connected to Server}",
        line);
  }
  EXPECT_EQ(kDevices, lines["cal"]);
  EXPECT_EQ(kDevices, lines["test"]);
  EXPECT_EQ(kDevices, lines["qtest"]);
  EXPECT_EQ(3u, lines.size());
}

}  // namespace
