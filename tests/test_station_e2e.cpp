// qxstation against qxsim, both as built programs, as an operator runs them.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "tests/support/child_process.h"

namespace {

class StationEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = BuiltProgramDir();
    ASSERT_FALSE(bin_.empty()) << "QX_BIN_DIR is not set";
    ASSERT_EQ(::access((bin_ + "/qxsim").c_str(), X_OK), 0);
    ASSERT_EQ(::access((bin_ + "/qxstation").c_str(), X_OK), 0);
    char pattern[] = "/tmp/qxstation-e2e-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    results_ = dir_ + "/results";
    meterLink_ = dir_ + "/meter";
  }
  // Starts qxsim on free ports and learns its USB endpoint from what it prints.
  void StartSim(std::vector<std::string> extra = {}) {
    // Every endpoint on a free port, so that runs never collide.
    std::vector<std::string> args = {bin_ + "/qxsim", "--usb",        "127.0.0.1:0",
                                     "--eth",         "127.0.0.1:0",  "--ts-endpoint",
                                     "127.0.0.1:0",   "--ts-results", results_,
                                     "--meter-link",  meterLink_};
    args.insert(args.end(), extra.begin(), extra.end());
    sim_ = std::make_unique<ChildProcess>(args, ChildProcess::Environment(), true);
    std::string line;
    while (sim_->ReadLine(&line, 10000)) {
      const std::string prefix = "usb endpoint ";
      if (line.rfind(prefix, 0) == 0) {
        usb_ = line.substr(prefix.size());
        break;
      }
    }
    ASSERT_FALSE(usb_.empty()) << "qxsim printed no USB endpoint";
  }
  // Runs qxstation; returns its exit status and leaves its output in *out.
  int RunStation(std::vector<std::string> args, std::string* out) {
    args.insert(args.begin(), bin_ + "/qxstation");
    ChildProcess station(args, {{"QXM_USB_ENDPOINT", usb_}}, true);
    *out = station.ReadAll(30000);
    return station.Wait(30000);
  }
  void TearDown() override {
    sim_.reset();
    std::remove(results_.c_str());
    ::rmdir(dir_.c_str());
  }
  std::string bin_;
  std::string usb_;
  std::unique_ptr<ChildProcess> sim_;
  std::string dir_;
  std::string results_;
  std::string meterLink_;
};

TEST_F(StationEndToEnd, OpensTheVirtualDeviceOfEitherEdition) {
  for (bool isMax : {false, true}) {
    usb_.clear();
    StartSim(isMax ? std::vector<std::string>{"--max"} : std::vector<std::string>{});
    std::string out;
    EXPECT_EQ(RunStation({"--mask", "0x400"}, &out), 0) << out;
    EXPECT_NE(out.find("Overall Result:           ** Passed **\r\n"), std::string::npos) << out;
    const char* line = isMax ? " Open Quenlox                Passed      Quenlox Z5-Max Found\r\n"
                             : " Open Quenlox                Passed      Quenlox Z5 Found\r\n";
    EXPECT_NE(out.find(line), std::string::npos) << out;
    sim_->Signal(SIGINT);
    EXPECT_EQ(sim_->Wait(10000), 0) << "qxsim did not stop cleanly";
    sim_.reset();
  }
}

TEST_F(StationEndToEnd, NoDeviceEndsFatalQuicklyWithTheLibraryCode) {
  StartSim();
  sim_->Signal(SIGTERM);
  ASSERT_EQ(sim_->Wait(10000), 0);
  std::string out;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunStation({"--mask", "0x400"}, &out), 1);
  auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
          .count();
  EXPECT_LT(seconds, 10);
  EXPECT_NE(out.find(" Open Quenlox                Fatal       No Quenloxs found ("),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("** Failed **"), std::string::npos);
}

TEST_F(StationEndToEnd, QuietRunsPrintNothingAndBadArgumentsExitTwo) {
  StartSim();
  std::string out;
  EXPECT_EQ(RunStation({"--mask", "0x400", "--quiet"}, &out), 0);
  EXPECT_EQ(out, "");
  const std::vector<std::vector<std::string>> bad = {{},
                                                     {"--mask"},
                                                     {"--mask", "zz"},
                                                     {"--mask", "0x400", "--device-type", "3"},
                                                     {"--mask", "0x400", "--frobnicate"},
                                                     {"--mask", "-1"}};
  for (const auto& args : bad) {
    EXPECT_EQ(RunStation(args, &out), 2);
    EXPECT_NE(out.find("usage: qxstation"), std::string::npos);
  }
  EXPECT_EQ(RunStation({"--help"}, &out), 0);
  EXPECT_NE(out.find("0x20000"), std::string::npos);
  // An unknown added test is named, with the ones that exist.
  EXPECT_EQ(RunStation({"--mask", "0x400", "--add-test", "Nope"}, &out), 2);
  EXPECT_NE(out.find("unknown test \"Nope\"; known tests:\n  AccuracyCheck\n  CounterTest\n"
                     "  CheckUpgradeFile\n  NotImplementedTest\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(RunStation({"--mask", "0x400", "--add-test", "NotImplementedTest"}, &out), 0);
  EXPECT_NE(out.find("Passed      Not implemented\r\n"), std::string::npos) << out;
}

}  // namespace
