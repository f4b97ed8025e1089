// Benches killed with SIGKILL keep what they acknowledged: qxsim killed at a
// random moment while flash pages are erased and written as an upgrade does,
// and qxts killed while eight stations take serial numbers and MACs, each
// restarted on the same state file round after round. QX_KILL_ROUNDS sets the
// rounds (default 8 each; run 50 by hand).
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/flash.h"
#include "device/flash_map.h"
#include "qxm/qxm.h"
#include "server/server_link.h"
#include "sim/core/state_file.h"
#include "sim/virtual_device.h"
#include "tests/support/child_process.h"
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
    for (uint32_t k = 0;; ++k) {
      uint32_t page = kFirmwareBase + ((round * 7 + k) % 16) * kFlashPageSize;
      std::vector<uint8_t> content(kFlashPageSize, static_cast<uint8_t>(round * 16 + k));
      if (EraseFlashPage(handle, kFirmwareKey, page) != 0) break;
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
    for (const auto& page : written) {
      if (erased.count(page.first) == 0) {
        ASSERT_EQ(page.second, device.PeekFlash(page.first, kFlashPageSize))
            << "round " << round << " page " << page.first;
      }
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

}  // namespace
