// qxsim as a built program: what it prints, a device that answers, the state
// file saved on SIGTERM, refused arguments, and a test server that takes
// thousands of connections one after another with its threads and memory
// flat, then stops within a second although a client has stopped reading.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/socket.h"
#include "platform/status.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using Steady = std::chrono::steady_clock;

// AddressSanitizer keeps freed memory in quarantine, so resident memory
// tells nothing there; its leak check stands in for the memory bound.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryMeasurable = false;
#else
constexpr bool kMemoryMeasurable = true;
#endif

// A field of /proc/PID/status ("Threads", "VmRSS" in KiB); -1 when missing.
long ProcField(int pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, name.size() + 1, name + ":") == 0) {
      return std::strtol(line.c_str() + name.size() + 1, nullptr, 10);
    }
  }
  return -1;
}

class QxsimProgramTest : public ::testing::Test {
 protected:
  // Starts qxsim with every endpoint on a free port; learns them from what it
  // prints ("usb endpoint H:P", ..., "test server H:P").
  void Start(std::vector<std::string> extra = {}) {
    std::string bin = BuiltProgramDir();
    ASSERT_FALSE(bin.empty()) << "QX_BIN_DIR is not set";
    std::vector<std::string> args = {bin + "/qxsim", "--usb",        "127.0.0.1:0",
                                     "--eth",        "127.0.0.1:0",  "--ts-endpoint",
                                     "127.0.0.1:0",  "--meter-link", dir_.File("meter")};
    args.insert(args.end(), extra.begin(), extra.end());
    sim_ = std::make_unique<ChildProcess>(args, ChildProcess::Environment(), true);
    std::string line;
    for (int i = 0; i < 4 && sim_->ReadLine(&line, 10000); ++i) {
      if (line.rfind("usb endpoint 127.0.0.1:", 0) == 0) usbPort_ = Port(line);
      if (line.rfind("test server 127.0.0.1:", 0) == 0) serverPort_ = Port(line);
    }
    ASSERT_NE(usbPort_, 0) << "qxsim printed no USB endpoint";
    ASSERT_NE(serverPort_, 0) << "qxsim printed no test server";
  }
  static uint16_t Port(const std::string& line) {
    return static_cast<uint16_t>(std::atoi(line.c_str() + line.rfind(':') + 1));
  }
  // One request line to the test server and its reply line.
  static std::string Ask(platform::TcpSocket& s, const std::string& line) {
    if (s.SendAll(line.data(), line.size(), 2000) != platform::kOk) return "";
    std::string reply;
    char buffer[64];
    size_t n = 0;
    while (reply.find('\n') == std::string::npos &&
           s.Receive(buffer, sizeof buffer, &n, 2000) == platform::kOk) {
      reply.append(buffer, n);
    }
    return reply;
  }

  TempDir dir_;
  std::unique_ptr<ChildProcess> sim_;
  uint16_t usbPort_ = 0;
  uint16_t serverPort_ = 0;
};

TEST_F(QxsimProgramTest, ServesTheDeviceItWasGivenAndSavesItsStateOnSigterm) {
  std::string state = dir_.File("z5.state");
  Start({"--max", "--serial", "470012345", "--state", state});
  platform::TcpSocket device;
  ASSERT_EQ(device.Connect("127.0.0.1", usbPort_, 2000), platform::kOk);
  // One feedback request: read 60010 (edition) and 60028 (serial number).
  const uint8_t request[] = {0x12, 0x34, 0, 0, 0, 10, 0, 76, 0, 0xEA, 0x6A, 2, 0, 0xEA, 0x7C, 2};
  ASSERT_EQ(device.SendAll(request, sizeof request, 2000), platform::kOk);
  std::vector<uint8_t> reply;
  uint8_t buffer[64];
  size_t n = 0;
  while (reply.size() < 16 && device.Receive(buffer, sizeof buffer, &n, 2000) == platform::kOk) {
    reply.insert(reply.end(), buffer, buffer + n);
  }
  ASSERT_EQ(reply.size(), 16u);
  EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 8, reply.end()),
            (std::vector<uint8_t>{0, 0, 0, 1, 0x1C, 0x03, 0xD1, 0xB9}));  // "-Max", 470012345
  sim_->Terminate();
  EXPECT_EQ(sim_->Wait(5000), 0);
  EXPECT_TRUE(platform::FileExists(state.c_str()));
  EXPECT_FALSE(platform::FileExists(dir_.File("meter").c_str())) << "the meter's link is gone";
}

TEST_F(QxsimProgramTest, BadArgumentsExitWithStatusTwoAndVersionIsShown) {
  ChildProcess bad({BuiltProgramDir() + "/qxsim", "--serial=nope"}, {}, true);
  std::string said = bad.ReadAll(5000);
  EXPECT_EQ(bad.Wait(5000), 2);
  EXPECT_NE(said.find("nope"), std::string::npos) << said;
  ChildProcess version({BuiltProgramDir() + "/qxsim", "--version"}, {}, true);
  EXPECT_EQ(version.ReadAll(5000).rfind("qxsim (QXTest) ", 0), 0u);
  EXPECT_EQ(version.Wait(5000), 0);
}

TEST_F(QxsimProgramTest, TestServerStaysFlatOverManyConnectionsAndStopsWithinASecond) {
  // QX_STRESS_CONNECTIONS=50000 runs the long version by hand.
  const char* wanted = std::getenv("QX_STRESS_CONNECTIONS");
  const long total = wanted != nullptr ? std::atol(wanted) : 3000;
  Start();
  int pid = sim_->pid();
  auto connectAndAsk = [this] {
    platform::TcpSocket s;
    return s.Connect("127.0.0.1", serverPort_, 2000) == platform::kOk &&
           Ask(s, "serial\r\n") == "403\r\n";  // not identified: refused
  };
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(connectAndAsk());
  long threads = ProcField(pid, "Threads");
  long rss = ProcField(pid, "VmRSS");
  ASSERT_GT(threads, 0);
  long failures = 0;
  for (long i = 0; i < total; ++i) failures += connectAndAsk() ? 0 : 1;
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(ProcField(pid, "Threads"), threads) << "a thread kept per connection";
  long grown = ProcField(pid, "VmRSS") - rss;
  if (kMemoryMeasurable) {
    EXPECT_LT(grown, 2048) << "KiB kept over " << total << " connections";
  }
  std::printf("%ld connections: %ld threads, RSS %ld KiB -> %ld KiB\n", total, threads, rss,
              rss + grown);

  // A client that sends and never reads: its replies fill every buffer.
  platform::TcpSocket stuck;
  ASSERT_EQ(stuck.Connect("127.0.0.1", serverPort_, 2000), platform::kOk);
  std::string lines;
  for (int i = 0; i < 4096; ++i) lines += "serial\r\n";
  size_t sentTotal = 0;
  for (int round = 0; round < 200; ++round) {
    size_t sent = 0;
    ASSERT_EQ(stuck.SendSome(lines.data(), lines.size(), &sent), platform::kOk);
    sentTotal += sent;
    if (sent == 0) break;
  }
  EXPECT_GT(sentTotal, lines.size()) << "the server never stopped taking requests";
  auto before = Steady::now();
  sim_->Terminate();
  EXPECT_EQ(sim_->Wait(3000), 0);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - before).count();
  EXPECT_LT(ms, 1000) << "stopping took " << ms << " ms";
  std::printf("stopped %lld ms after SIGTERM\n", static_cast<long long>(ms));
}

}  // namespace
