// The firmware upgrade as a user runs it: the built qxtest against the built
// qxsim on free loopback ports, with files made by the built qxfwpack and the
// path typed at qxtest's prompt. The whole dialogue is compared to the
// character, and the device's firmware area, kept in qxsim's state file, to
// the image byte for byte. One test keeps the real wait after the restart.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "device/flash_map.h"
#include "fwpack/firmware_pack.h"
#include "platform/byte_order.h"
#include "platform/file.h"
#include "sim/core/state_file.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/temp_dir.h"

namespace {

// qxtest's and qxfwpack's standard output alone, as an operator sees it.
std::unique_ptr<ChildProcess> Spawn(std::vector<std::string> args,
                                    const ChildProcess::Environment& env = {}) {
  return std::make_unique<ChildProcess>(std::move(args), env, true, true, true);
}

std::string Counted(const char* name, int count, int total) {
  std::string s;
  for (int i = 1; i <= count; ++i) {
    if (i > 1) s += "\r";
    s += name + std::to_string(i) + " / " + std::to_string(total);
  }
  if (count == total) s += "\r\n";
  return s;
}

std::string FileLines(const std::string& device, const std::string& bytes,
                      const std::string& version) {
  return "    Intended Device:    " + device + "\r\n    Bytes in Image:     " + bytes +
         "\r\n    FW Version in file: " + version + "\r\n";
}

const char kPrompt[] = "Enter full path to upgrade file:\r\n";
const char kDeviceCheck[] =
    "Beginning upgrade process\r\n\rChecking Quenlox Device\r\n"
    "    Current FW: 1.0000, BL: 0.9000\r\nChecking Upgrade File\r\n";

class UpgradeEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("QX_BIN_DIR");
    bin_ = bin != nullptr ? bin : "";
    for (const char* p : {"qxsim", "qxtest", "qxfwpack"}) {
      if (bin_.empty() || !platform::FileExists(Program(p).c_str())) {
        GTEST_SKIP() << p << " is not built in QX_BIN_DIR";
      }
    }
    ASSERT_FALSE(temp_.path().empty());
    dir_ = temp_.path();
  }
  void TearDown() override { sim_.reset(); }
  std::string Program(const char* name) const { return bin_ + "/" + name; }

  // Starts qxsim on free ports with its state in the test's directory;
  // returns its USB endpoint.
  std::string StartSim(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {Program("qxsim"), "--usb",       "127.0.0.1:0",
                                     "--eth",          "127.0.0.1:0", "--ts-endpoint",
                                     "127.0.0.1:0",    "--state",     dir_ + "/state"};
    args.insert(args.end(), extra.begin(), extra.end());
    sim_ = Spawn(args);
    EXPECT_TRUE(sim_->ReadUntil("test server ", 10000)) << sim_->output();
    std::smatch m;
    std::regex usb("usb endpoint (127\\.0\\.0\\.1:[0-9]+)\n");
    if (!std::regex_search(sim_->output(), m, usb)) {
      ADD_FAILURE() << "no usb endpoint in: " << sim_->output();
      return std::string();
    }
    return m[1];
  }
  // Stops qxsim (it saves its state) and returns its flash regions by base.
  std::vector<qxsim::StateSection> StopSim() {
    sim_->Terminate();
    EXPECT_EQ(0, sim_->Wait(10000));
    std::vector<qxsim::StateSection> sections;
    std::string error;
    EXPECT_EQ(qxsim::StateFileRead::kLoaded,
              qxsim::ReadStateFile(dir_ + "/state", &sections, &error))
        << error;
    return sections;
  }
  static std::vector<uint8_t> Region(const std::vector<qxsim::StateSection>& sections,
                                     uint32_t base) {
    for (const qxsim::StateSection& s : sections) {
      if (s.tag == "FLSH" && s.bytes.size() >= 4 &&
          GetU32BE(s.bytes.data(), s.bytes.size(), 0) == base) {
        return std::vector<uint8_t>(s.bytes.begin() + 4, s.bytes.end());
      }
    }
    ADD_FAILURE() << "no flash region at " << base;
    return {};
  }
  std::string Pack(const char* name, std::vector<std::string> options) {
    std::string path = dir_ + "/" + name;
    std::vector<std::string> args = {Program("qxfwpack"), "-o", path};
    args.insert(args.end(), options.begin(), options.end());
    auto pack = Spawn(args);
    pack->ReadUntil(std::string(1, '\0'), 10000);
    EXPECT_EQ(0, pack->Wait(10000)) << pack->output();
    return path;
  }
  // Runs qxtest, types the text, and returns all it printed; it must end by
  // itself within timeoutMs.
  std::string RunQxtest(const std::string& endpoint, const std::string& typed, int timeoutMs,
                        bool closeInput = true, int status = 1) {
    auto qxtest = Spawn({Program("qxtest")}, {{"QXM_USB_ENDPOINT", endpoint}});
    EXPECT_TRUE(qxtest->started());
    EXPECT_TRUE(qxtest->ReadUntil(kPrompt, 10000)) << qxtest->output();
    EXPECT_TRUE(qxtest->Send(typed));
    if (closeInput) qxtest->CloseInput();
    qxtest->ReadUntil(std::string(1, '\0'), timeoutMs);
    EXPECT_EQ(status, qxtest->Wait(2000))
        << "qxtest did not end as it should: " << qxtest->output();
    return qxtest->output();
  }

  std::string bin_;
  std::string dir_;
  TempDir temp_;
  std::unique_ptr<ChildProcess> sim_;
};

TEST_F(UpgradeEndToEndTest, AnUpgradeWritesTheImageAndTheDeviceComesBackRunningIt) {
  // Three whole pages and a partial one.
  const uint32_t bodyBytes = 3 * 4096 + 1000;
  std::string path = Pack(
      "fw.bin", {"--generate", std::to_string(bodyBytes), "--seed", "9", "--fw-version", "1.37"});
  std::string endpoint = StartSim();
  ASSERT_FALSE(endpoint.empty());
  // The path as a user types it, then Enter for "Press any key".
  std::string out = RunQxtest(endpoint, path + "\n\n", 90000, true, 0);

  std::string head = std::string(kPrompt) + kDeviceCheck +
                     FileLines("100017001", std::to_string(bodyBytes), "1.3700") +
                     Counted("Erasing: ", 120, 120) + "Erasing Info Page\r\n" +
                     Counted("Writing: ", 4, 4) + "Writing Info Page\r\nRestarting\r\n";
  ASSERT_EQ(head, out.substr(0, head.size()));
  const std::string tail = "Final Check\r\n    Current FW: 1.3700, BL: 0.9000\r\nPress any key";
  ASSERT_GE(out.size(), head.size() + tail.size());
  EXPECT_EQ(tail, out.substr(out.size() - tail.size()));
  // The real wait: whole seconds counting up to 14, each line rewritten.
  std::string waiting = out.substr(head.size(), out.size() - head.size() - tail.size());
  std::regex line("Waiting: (-?[0-9]+) / 14");
  int last = -1;
  size_t lines = 0;
  size_t at = 0;
  while (at < waiting.size()) {
    if (lines > 0) {
      ASSERT_EQ('\r', waiting[at]) << waiting;
      ++at;
    }
    size_t end = waiting.find('\r', at);
    std::string one = waiting.substr(at, end == std::string::npos ? std::string::npos : end - at);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(one, m, line)) << one;
    int seconds = std::stoi(m[1]);
    EXPECT_GE(seconds, last);
    last = seconds;
    ++lines;
    at += one.size();
    if (waiting.compare(at, 3, "\r\n") == 0 && at + 2 == waiting.size()) break;
  }
  EXPECT_GE(last, 14);
  EXPECT_GT(lines, 100u) << "one line per 100 ms slice";
  if (last == 14) {
    EXPECT_EQ("\r\n", waiting.substr(waiting.size() - 2));
  }

  // The device's firmware area holds the image, the partial page padded.
  std::vector<qxsim::StateSection> state = StopSim();
  std::vector<uint8_t> file;
  std::string error;
  ASSERT_TRUE(ReadFileBytes(path, &file, &error)) << error;
  std::vector<uint8_t> firmware = Region(state, kFirmwareBase);
  ASSERT_EQ(size_t{kFirmwarePages} * 4096, firmware.size());
  std::vector<uint8_t> expected(file.begin() + 128, file.end());
  expected.resize(firmware.size(), 0xFF);
  EXPECT_TRUE(expected == firmware) << "firmware area differs from the image";
  std::vector<uint8_t> info = Region(state, kInfoPageBase);
  EXPECT_TRUE(std::vector<uint8_t>(file.begin(), file.begin() + 4096) == info);
}

TEST_F(UpgradeEndToEndTest, FilesThatCannotBeUpgradedStopBeforeTheFlash) {
  std::string other = Pack("other.bin", {"--generate", "8192", "--device", "100017002"});
  std::string text = dir_ + "/text.bin";
  std::string ignored;
  ASSERT_TRUE(WriteFileBytes(text, {'h', 'e', 'l', 'l', 'o', '\n'}, &ignored));
  std::string endpoint = StartSim();
  ASSERT_FALSE(endpoint.empty());

  struct Case {
    std::string typed;
    std::string lines;
  };
  const Case cases[] = {
      {dir_ + "/missing.bin\n\n",
       FileLines("0", "0", "0.0000") + "    File error: Could not find/open file\r\n"},
      {text + "\n\n", FileLines("0", "0", "0.0000") +
                          "    File error: File does not appear to be QX Firmware\r\n"},
      {other + "\n\n", FileLines("100017002", "8192", "1.1000") +
                           "    Image is for another device: this one takes 100017001\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    EXPECT_EQ(std::string(kPrompt) + kDeviceCheck + c.lines + "Error: 12345Press any key",
              RunQxtest(endpoint, c.typed, 20000));
  }
  std::vector<qxsim::StateSection> state = StopSim();
  EXPECT_TRUE(std::vector<uint8_t>(kFirmwarePages * 4096, 0xFF) == Region(state, kFirmwareBase))
      << "the firmware area is still erased";
  std::vector<uint8_t> info = Region(state, kInfoPageBase);
  ASSERT_EQ(4096u, info.size());
  EXPECT_EQ(0x51584658u, GetU32BE(info.data(), info.size(), 0))
      << "the factory info page is still there";
}

TEST_F(UpgradeEndToEndTest, APathLongerThanThePromptTakesIsRefusedAndNothingIsFlashed) {
  // Cut to the prompt's 255 characters, the 300 typed would name another
  // upgrade file that is there: .../fw.bin beside .../fw.bin.v2...
  const std::string folder(247 - dir_.size(), 'd');
  ASSERT_TRUE(std::filesystem::create_directory(dir_ + "/" + folder));
  std::string cut = Pack((folder + "/fw.bin").c_str(), {"--generate", "8192"});
  ASSERT_EQ(255u, cut.size());
  std::string typed = Pack((folder + "/fw.bin.v2." + std::string(41, 'x')).c_str(),
                           {"--generate", "8192", "--fw-version", "2.0"});
  ASSERT_EQ(300u, typed.size());
  std::string endpoint = StartSim();
  ASSERT_FALSE(endpoint.empty());
  auto qxtest = Spawn({Program("qxtest")}, {{"QXM_USB_ENDPOINT", endpoint}});
  ASSERT_TRUE(qxtest->ReadUntil(kPrompt, 10000));
  ASSERT_TRUE(qxtest->Send(typed + "\n"));
  EXPECT_TRUE(qxtest->ReadUntil("Press any key", 10000));
  EXPECT_EQ(std::string(kPrompt) +
                "The path is longer than 255 characters: refused, nothing was written\r\n"
                "Press any key",
            qxtest->output());
  EXPECT_EQ(-1, qxtest->Wait(300)) << "the rest of the long line answered the key";
  ASSERT_TRUE(qxtest->Send("\n"));
  EXPECT_EQ(1, qxtest->Wait(5000));
  std::vector<qxsim::StateSection> state = StopSim();
  EXPECT_TRUE(std::vector<uint8_t>(kFirmwarePages * 4096, 0xFF) == Region(state, kFirmwareBase));
}

TEST_F(UpgradeEndToEndTest, ADeviceThatDropsOffWhileWritingEndsTheRunWithItsCode) {
  std::string path = Pack("fw.bin", {"--generate", "12288"});
  // Versions, 120 erases, the info page's erase, a page of 128 chunks, then
  // a few chunks of the second page.
  std::string endpoint = StartSim({"--fault-drop-after", std::to_string(1 + 120 + 1 + 128 + 5)});
  ASSERT_FALSE(endpoint.empty());
  std::string out = RunQxtest(endpoint, path + "\n\n", 30000);
  EXPECT_EQ(std::string(kPrompt) + kDeviceCheck + FileLines("100017001", "12288", "1.1000") +
                Counted("Erasing: ", 120, 120) + "Erasing Info Page\r\n" +
                Counted("Writing: ", 2, 3) +
                "\r\n    Device error: device closed the connection\r\nError: 1014Press any key",
            out);
}

TEST_F(UpgradeEndToEndTest, WithNoDeviceTheFirstStepReportsTheLinkCode) {
  // A port that was just free: nothing listens there.
  std::string endpoint = StartSim();
  ASSERT_FALSE(endpoint.empty());
  StopSim();
  std::string out = RunQxtest(endpoint, dir_ + "/fw.bin\n\n", 20000);
  EXPECT_EQ(
      std::string(kPrompt) +
          "Beginning upgrade process\r\n\rChecking Quenlox Device\r\n"
          "    No Quenlox found on USB (1007: connection refused)\r\nError: 1000Press any key",
      out);
}

TEST_F(UpgradeEndToEndTest, AtATerminalOneKeyWithoutEnterEndsTheDialogue) {
  std::string endpoint = "127.0.0.1:" + std::to_string(UnusedLoopbackPort());
  ChildProcess qxtest({Program("qxtest")}, {{"QXM_USB_ENDPOINT", endpoint}}, true, true, true,
                      true);
  ASSERT_TRUE(qxtest.ReadUntil(kPrompt, 10000)) << qxtest.output();
  ASSERT_TRUE(qxtest.Send(dir_ + "/fw.bin\n"));
  ASSERT_TRUE(qxtest.ReadUntil("Press any key", 10000)) << qxtest.output();
  ASSERT_TRUE(qxtest.Send("k"));
  EXPECT_EQ(1, qxtest.Wait(5000)) << "the key alone did not end it";
}

TEST_F(UpgradeEndToEndTest, UnattendedRunsNameTheFileProblemAndExitWithOne) {
  std::string endpoint = StartSim();
  ASSERT_FALSE(endpoint.empty());
  // A FIFO with no writer would hold a plain open forever; so would a device.
  std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(0, std::system(("mkfifo " + fifo).c_str()));
  for (const std::string& path : {dir_ + "/missing.bin", fifo, dir_, std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    auto qxtest =
        Spawn({Program("qxtest"), "--file=" + path, "--no-wait"}, {{"QXM_USB_ENDPOINT", endpoint}});
    qxtest->ReadUntil(std::string(1, '\0'), 10000);
    EXPECT_EQ(1, qxtest->Wait(2000));
    EXPECT_EQ(std::string(kDeviceCheck) + FileLines("0", "0", "0.0000") +
                  "    File error: Could not find/open file\r\nError: 12345\r\n",
              qxtest->output());
  }
}

}  // namespace
