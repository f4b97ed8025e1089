// qxstation against qxsim, both as built programs, as an operator runs them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/file.h"
#include "platform/status.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/temp_dir.h"

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class StationEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = BuiltProgramDir();
    ASSERT_FALSE(bin_.empty()) << "QX_BIN_DIR is not set";
    ASSERT_TRUE(platform::FileExists((bin_ + "/qxsim").c_str()));
    ASSERT_TRUE(platform::FileExists((bin_ + "/qxstation").c_str()));
    dir_ = temp_.path();
    ASSERT_FALSE(dir_.empty());
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
    // The test server's endpoint is printed last.
    usb_.clear();
    server_.clear();
    while (server_.empty() && sim_->ReadLine(&line, 10000)) {
      if (line.rfind("usb endpoint ", 0) == 0) usb_ = line.substr(13);
      if (line.rfind("test server ", 0) == 0) server_ = line.substr(12);
    }
    ASSERT_FALSE(usb_.empty()) << "qxsim printed no USB endpoint";
  }
  // Runs qxstation; returns its exit status and leaves its output in *out.
  // The settings in env come after the device's.
  int RunStation(std::vector<std::string> args, std::string* out,
                 const ChildProcess::Environment& env = {}) {
    args.insert(args.begin(), bin_ + "/qxstation");
    ChildProcess::Environment all = {{"QXM_USB_ENDPOINT", usb_}};
    all.insert(all.end(), env.begin(), env.end());
    ChildProcess station(args, all, true);
    *out = station.ReadAll(30000);
    return station.Wait(30000);
  }
  void TearDown() override { sim_.reset(); }
  std::string bin_;
  std::string usb_;
  std::string server_;
  std::unique_ptr<ChildProcess> sim_;
  TempDir temp_;
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
    sim_->Interrupt();
    EXPECT_EQ(sim_->Wait(10000), 0) << "qxsim did not stop cleanly";
    sim_.reset();
  }
}

TEST_F(StationEndToEnd, NoDeviceEndsFatalQuicklyWithTheLibraryCode) {
  StartSim();
  sim_->Terminate();
  ASSERT_EQ(sim_->Wait(10000), 0);
  std::string out;
  auto start = std::chrono::steady_clock::now();
  const std::string record = dir_ + "/records";
  const std::string junit = dir_ + "/run.xml";
  EXPECT_EQ(RunStation({"--station=usb-check", "--record", record, "--junit=" + junit}, &out), 1);
  auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
          .count();
  EXPECT_LT(seconds, 10);
  EXPECT_NE(out.find(" Open Quenlox                Fatal       No Quenloxs found ("),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("** Failed **"), std::string::npos);
  // A failed run leaves its record too.
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(record)) {
    files.push_back(entry.path().filename().string());
  }
  ASSERT_EQ(1u, files.size());
  EXPECT_EQ(0u, files[0].rfind("no-serial_usb-check_", 0)) << files[0];
  std::string json = ReadText(record + "/" + files[0]);
  for (const char* piece :
       {"\"station\": \"usb-check\"", "\"mask\": \"0x400\"", "\"result\": \"failed\"",
        "\"serialNumber\": null", "\"cause\": \"link\"", "\"details\": \"No Quenloxs found ("}) {
    EXPECT_NE(json.find(piece), std::string::npos) << piece << "\n" << json;
  }
  EXPECT_NE(ReadText(junit).find("<failure type=\"Fatal\" message=\"No Quenloxs found ("),
            std::string::npos);
}

TEST_F(StationEndToEnd, MasksThatCannotOpenTheDeviceAreRefusedAndListsRunNothing) {
  StartSim();
  std::string out;
  EXPECT_EQ(RunStation({"--mask", "0x4000"}, &out), 2);
  EXPECT_EQ(out, "qxstation: refused: mask 0x4000 selects no test (--force runs it anyway)\n");
  EXPECT_EQ(RunStation({"--mask", "0x20000"}, &out), 2);
  EXPECT_NE(out.find("do not start with \"Open Quenlox\""), std::string::npos) << out;
  EXPECT_EQ(RunStation({"--mask", "0x4000", "--force", "--quiet"}, &out), 0);

  EXPECT_EQ(RunStation({"--station", "final", "--list", "--add-test", "AccuracyCheck"}, &out), 0);
  EXPECT_EQ(0u, out.find(" 1  Open Quenlox\n 2  Connect to QXTest Server\n")) << out;
  EXPECT_NE(out.find("\n18  Report Test Results\n19  AccuracyCheck  (added)\n"), std::string::npos)
      << out;
  EXPECT_EQ(out.find("Overall Result"), std::string::npos) << "a list runs nothing";
  EXPECT_EQ(ReadText(results_), "") << "the server heard nothing";
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
                                                     {"--mask", "-1"},
                                                     {"--station", "calib"},
                                                     {"--mask", "0x400", "--add-test", "Nope"}};
  for (const auto& args : bad) {
    EXPECT_EQ(RunStation(args, &out), 2);
    EXPECT_EQ(out.find("qxstation: "), 0u) << out;
    EXPECT_EQ(out.find("(see qxstation --help)\n"), out.size() - 23) << "one line: " << out;
  }
  EXPECT_EQ(RunStation({"--station", "final", "--mask", "0x400"}, &out), 2);
  EXPECT_EQ(out,
            "qxstation: --station and --mask both given: give one of them (see qxstation "
            "--help)\n");
  EXPECT_EQ(RunStation({"--mask", "0x400", "--add-test", "NotImplementedTest"}, &out), 0);
  EXPECT_NE(out.find("Passed      Not implemented\r\n"), std::string::npos) << out;
  EXPECT_EQ(RunStation({"--help"}, &out), 0);
  for (const char* shown :
       {"0x20000", "AccuracyCheck", "NotImplementedTest", "calibration  0x711E0",
        "final        0x70000", "no-jig       0x810140", "usb-check    0x400"}) {
    EXPECT_NE(out.find(shown), std::string::npos) << shown;
  }
}

TEST_F(StationEndToEnd, WhatTheRunNeedsIsTriedBeforeASingleRequestReachesTheDevice) {
  StartSim();
  // Where the device should be, a peer that counts who comes: no one must.
  LoopbackPeer device([](PeerConnection&, std::string*) {});
  const std::string file = dir_ + "/file";
  std::ofstream(file) << "x";
  std::string readOnly = dir_ + "/read-only";
  std::filesystem::create_directory(readOnly);
  std::filesystem::permissions(readOnly, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  // Root writes into a folder whatever its mode; no one makes a file in sysfs.
  if (platform::CheckFolderTakesFiles(readOnly.c_str()) == platform::kOk) readOnly = "/sys";
  ASSERT_NE(platform::kOk, platform::CheckFolderTakesFiles(readOnly.c_str()));
  const std::string noServer = "127.0.0.1:" + std::to_string(UnusedLoopbackPort());
  const struct {
    std::vector<std::string> args;
    ChildProcess::Environment env;
    std::string says;
  } cases[] = {
      {{"--mask", "0x400", "--record", readOnly},
       {},
       "--record " + readOnly + ": cannot write into the folder: Permission denied\n"},
      {{"--mask", "0x400", "--record", file + "/records"},
       {},
       "--record " + file + "/records: cannot make the folder: Not a directory\n"},
      {{"--mask", "0x400", "--junit", dir_ + "/missing/run.xml"},
       {},
       "--junit " + dir_ + "/missing/run.xml: its folder does not exist\n"},
      {{"--mask", "0x400", "--junit", dir_},
       {},
       "--junit " + dir_ + ": is a folder or a device, not a file\n"},
      {{"--mask", "0x400", "--junit", readOnly + "/run.xml"},
       {},
       "--junit " + readOnly + "/run.xml: cannot write into its folder: Permission denied\n"},
      {{"--station", "calibration"},
       {{"QX_COM3", dir_ + "/no-meter"}},
       "refused: the bench meter's port COM3 does not open (QX_COM3=" + dir_ +
           "/no-meter: No such file or directory), needed by Calibrate (--force runs it "
           "anyway)\n"},
      {{"--station", "calibration"},
       {{"QXTS_ENDPOINT", noServer}},
       "refused: the test server at " + noServer +
           " (QXTS_ENDPOINT) takes no connection (Connection refused), needed by Connect to "
           "QXTest Server (--force runs it anyway)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    ChildProcess::Environment env = {{"QXM_USB_ENDPOINT", device.endpoint()},
                                     {"QX_COM3", meterLink_},
                                     {"QXTS_ENDPOINT", server_}};
    env.insert(env.end(), c.env.begin(), c.env.end());
    std::string out;
    EXPECT_EQ(RunStation(c.args, &out, env), 2);
    EXPECT_EQ("qxstation: " + c.says, out);
  }
  EXPECT_EQ(0, device.connections());
  EXPECT_EQ(ReadText(results_), "") << "the server heard nothing";
  // --force runs without the server: to the connection's Fatal.
  std::string out;
  EXPECT_EQ(RunStation({"--mask", "0x10400", "--force"}, &out, {{"QXTS_ENDPOINT", noServer}}), 1);
  EXPECT_NE(out.find(" Connect to QXTest Server    Fatal"), std::string::npos) << out;
}

}  // namespace
