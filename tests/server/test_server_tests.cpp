// The server-backed tests against the bench device and the
// bench's test server: verdicts and texts for each identity case, what lands
// in the configuration page, the clock check and setting on a fake clock, and
// the result upload.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/flash_map.h"
#include "harness/context.h"
#include "platform/clock.h"
#include "qxm/qxm_errors.h"
#include "server/server_tests.h"
#include "sim/qxts_server.h"
#include "tests/support/bench_device.h"
#include "tests/support/loopback_peer.h"

namespace {

class ServerTestsTest : public ::testing::Test {
 protected:
  void SetUp() override { context_.handle = device_.Handle(); }
  void TearDown() override {
    ReleaseServer(&context_);
    if (server_ != nullptr) server_->Stop();
    unsetenv("QXTS_ENDPOINT");
  }

  // Starts a test server, points the station at it and connects.
  void ConnectServer(qxsim::TestServerOptions options = qxsim::TestServerOptions()) {
    server_.reset(new qxsim::TestServer(options));
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    setenv("QXTS_ENDPOINT", server_->endpoint().c_str(), 1);
    ConnectToServer(&context_);
    ASSERT_EQ(kLevelPassed, context_.EL) << context_.Msg;
  }

  void SetMac(const uint8_t (&mac)[6]) {
    uint64_t value = 0;
    for (uint8_t byte : mac) value = value << 8 | byte;
    device_.model().SetIdentity(device_.model().SerialNumber(), value);
  }
  void BlankConfigPage() { device_.model().BlankFlash(kConfigPageBase, kFlashPageSize); }
  bool NothingWritten() {
    return device_.model().flashWriteCount() == 0 && device_.model().flashEraseCount() == 0;
  }
  std::vector<uint8_t> Flash(uint32_t address, size_t length) {
    return device_.Flash(address, length);
  }
  // The request after `after` good ones loses the connection.
  void DropAfter(int after = 0) {
    LinkFaults faults;
    faults.after = after;
    faults.drop = true;
    device_.SetFaults(faults);
  }

  BenchDevice device_;
  TestContext context_;
  std::unique_ptr<qxsim::TestServer> server_;
};

// --- Connect to QXTest Server ----------------------------------------------

TEST_F(ServerTestsTest, ConnectsAndIdentifiesTheStation) {
  ConnectServer();
  EXPECT_STREQ("Connected to Server", context_.Msg);
  ASSERT_NE(nullptr, context_.server);
  EXPECT_TRUE(context_.server->connected());
  ASSERT_EQ(1u, server_->requests().size());
  EXPECT_EQ("ID QXTestZ5 0.12 QXTJ:00001702 PW:5E2C91A4", server_->requests()[0]);
  // A second run replaces the link.
  ServerLink* first = context_.server;
  ConnectToServer(&context_);
  EXPECT_EQ(kLevelPassed, context_.EL);
  EXPECT_NE(first, context_.server);
  EXPECT_EQ(2u, server_->connectionCount());
}

TEST_F(ServerTestsTest, ConnectionFailuresAreFatalWithTheirCode) {
  qxsim::TestServerOptions options;
  options.fault = qxsim::ServerFault::kErrorStatus;
  options.faultStatus = 401;
  server_.reset(new qxsim::TestServer(options));
  std::string error;
  ASSERT_TRUE(server_->Start(&error)) << error;
  setenv("QXTS_ENDPOINT", server_->endpoint().c_str(), 1);
  ConnectToServer(&context_);
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("Connection Error (401)", context_.Msg);

  std::string endpoint = server_->endpoint();
  server_->Stop();
  ConnectToServer(&context_);
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("Connection Error (3)", context_.Msg);
}

// --- Read Test Jig Info -------------------------------------------------------

struct JigCase {
  uint8_t code;
  uint16_t type;
  uint16_t lines;
  uint32_t level;
  const char* msg;
};

TEST_F(ServerTestsTest, JigVerdicts) {
  const JigCase cases[] = {
      {3, 6, 3, kLevelPassed, "Jig found: (6,3,3)"},
      {3, 6, 0xFFE3, kLevelPassed, "Jig found: (6,3,3)"},  // only the low 5 lines count
      {31, 6, 31, kLevelPassed, "Jig found: (6,31,31)"},
      {3, 6, 4, kLevelFatal, "Code mismatch: (6,3,4)"},
      {3, 5, 3, kLevelFatal, "Wrong Jig Type: (5,3,3)"},
      {3, 0x106, 3, kLevelFatal, "Wrong Jig Type: (262,3,3)"},
      {7, 5, 3, kLevelFatal, "Code mismatch: (5,7,3)"},
  };
  for (const JigCase& c : cases) {
    qxsim::JigSettings jig;
    jig.code = c.code;
    jig.type = c.type;
    device_.bench().SetJig(jig);
    // Code lines that disagree with the jig's bus: a miswired jig.
    LinkFaults faults;
    if (c.lines != c.code) faults.misread[kRegDioGroupLevel] = c.lines;
    device_.SetFaults(faults);
    ReadTestJigInfo(&context_);
    EXPECT_EQ(c.level, context_.EL) << c.msg;
    EXPECT_STREQ(c.msg, context_.Msg);
    EXPECT_EQ(c.code, context_.jigCode);
    EXPECT_EQ(c.type, context_.jigType);
  }
}

TEST_F(ServerTestsTest, JigValuesAndTheBusTransfer) {
  qxsim::JigSettings jig;
  const double values[6] = {4.0, -4.0, 10000.0, 100000.0, 0.1, 1e6};
  std::copy(values, values + 6, jig.values);
  device_.bench().SetJig(jig);
  EXPECT_EQ(0u, ReadTestJigInfo(&context_));
  EXPECT_STREQ("Jig found: (6,3,3)", context_.Msg);
  const double expected[6] = {4.0, -4.0, 10000.0, 100000.0, 0.1f, 1e6};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(expected[i], context_.jigValues[i]) << i;

  ASSERT_EQ(1u, device_.ExchangeCount());
  const std::vector<uint8_t>& request = device_.Requests()[0];
  const std::vector<uint8_t> records = {
      0x01, 0x14, 0x50, 0x0B, 0x00, 0x07, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
      0xA0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x20, 0x00, 0x00,  // write 5200
      0x00, 0x14, 0xB4, 0x12,                                                        // read 5300
      0x00, 0x09, 0xC4, 0x01};                                                       // read 2500
  ASSERT_EQ(8 + records.size(), request.size());
  EXPECT_EQ(records, std::vector<uint8_t>(request.begin() + 8, request.end()));
}

TEST_F(ServerTestsTest, JigCommFailure) {
  DropAfter();
  EXPECT_EQ(1u, ReadTestJigInfo(&context_));
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("Comm Error: (1014)", context_.Msg);
}

// --- Serial Number --------------------------------------------------------------

struct SerialCase {
  uint32_t device;
  uint32_t mask;
  uint32_t level;
  const char* msg;
};

TEST_F(ServerTestsTest, SerialVerdictsWithoutTheServer) {
  const SerialCase cases[] = {
      {470010001, 0, kLevelPassed, "Serial Number: 470010001"},
      {480010005, 0x10040, kLevelPassed, "Serial Number: 480010005"},
      {0xFFFFFFFE, 0, kLevelPassed, "Serial Number: 4294967294"},
      {470010000, 0, kLevelWarning, "Default Serial: 470010000"},
      {0xFFFFFFFF, 0x10000, kLevelWarning, "Default Serial: 4294967295"},
      {470009999, 0x10040, kLevelFatal, "SN System Failure: 470009999"},
      {0, 0, kLevelFatal, "SN System Failure: 0"},
      {470010000, 0x40, kLevelFatal, "Must Report to Serialize"},
      {0xFFFFFFFF, 0x10040, kLevelFatal, kNoServerLinkText},
  };
  for (const SerialCase& c : cases) {
    device_.model().SetIdentity(c.device, kDefaultMac);
    context_.mask = c.mask;
    SerialNumber(&context_);
    EXPECT_EQ(c.level, context_.EL) << c.msg;
    EXPECT_STREQ(c.msg, context_.Msg);
    EXPECT_EQ(static_cast<int64_t>(c.device), context_.serialNumber) << c.msg;
  }
  EXPECT_TRUE(NothingWritten());
}

TEST_F(ServerTestsTest, BlankDeviceGetsTheServersSerialInItsConfigPage) {
  ConnectServer();
  BlankConfigPage();
  context_.mask = 0x10040;
  EXPECT_EQ(0u, SerialNumber(&context_));
  EXPECT_EQ(kLevelPassed, context_.EL);
  EXPECT_STREQ("New Serial: 470010002", context_.Msg);
  EXPECT_EQ(470010002, context_.serialNumber);
  // 470010002 = 0x1C03C892, least significant byte first.
  const std::vector<uint8_t> record = {0x08, 0xBE, 0xE1, 0x7D, 0, 0, 0, 0, 0x92, 0xC8, 0x03, 0x1C};
  EXPECT_EQ(record, Flash(kConfigPageBase, 12));
  EXPECT_EQ(std::vector<uint8_t>(kFlashPageSize - 12, 0xFF),
            Flash(kConfigPageBase + 12, kFlashPageSize - 12));
  EXPECT_EQ(470010002u, device_.model().SerialNumber());
}

TEST_F(ServerTestsTest, ServerSerialsOutsideTheRangeAreRefused) {
  const struct {
    uint64_t offered;
    uint32_t level;
    const char* msg;
  } cases[] = {
      {470010001, kLevelFatal, "SN System Failure: 470010001"},
      {480010001, kLevelFatal, "SN System Failure: 480010001"},
      {0x100000000ull + 470010005, kLevelFatal,
       "SN System Failure: 4764977301"},  // not its low bits
      {480010000, kLevelPassed, "New Serial: 480010000"},
  };
  for (const auto& c : cases) {
    qxsim::TestServerOptions options;
    options.firstSerial = c.offered;
    options.lastSerial = UINT64_MAX;
    ReleaseServer(&context_);
    ConnectServer(options);
    device_.model().SetIdentity(470010000, kDefaultMac);
    const uint64_t writes = device_.model().flashWriteCount();
    context_.mask = 0x10040;
    SerialNumber(&context_);
    EXPECT_EQ(c.level, context_.EL) << c.msg;
    EXPECT_STREQ(c.msg, context_.Msg);
    EXPECT_EQ(c.level != kLevelPassed, writes == device_.model().flashWriteCount()) << c.msg;
    EXPECT_EQ(c.level != kLevelPassed, device_.model().SerialNumber() == 470010000) << c.msg;
  }
}

TEST_F(ServerTestsTest, FailedServerRequestIsFatalAndWritesNothing) {
  ConnectServer();
  server_->SetFault(qxsim::ServerFault::kErrorStatus, "serial", 500);
  context_.mask = 0x10040;
  SerialNumber(&context_);
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("Failed to get SN from QXTS (500)", context_.Msg);
  server_->SetFault(qxsim::ServerFault::kClose, "serial");
  SerialNumber(&context_);
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("Failed to get SN from QXTS (1602)", context_.Msg);
  EXPECT_TRUE(NothingWritten());
  EXPECT_EQ(470010000, context_.serialNumber);
}

TEST_F(ServerTestsTest, SerialWriteAndReadFailures) {
  ConnectServer();
  BlankConfigPage();
  context_.mask = 0x10040;
  device_.model().SetFlashWriteFault(0);
  {
    // The page update goes on trying for its 10 s.
    platform::FakeClock clock;
    platform::ScopedClock use(&clock);
    SerialNumber(&context_);
  }
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("Failed to write SN (1204)", context_.Msg);
  EXPECT_EQ(0xFFFFFFFF, context_.serialNumber);

  DropAfter();
  EXPECT_EQ(1u, SerialNumber(&context_));
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("Comm Error: (1014)", context_.Msg);
}

// --- Ethernet MAC ---------------------------------------------------------------

struct MacCase {
  uint8_t mac[6];
  uint32_t mask;
  uint32_t level;
  const char* msg;
};

TEST_F(ServerTestsTest, MacVerdictsWithoutTheServer) {
  const MacCase cases[] = {
      {{0x02, 0x7C, 0x4B, 0x00, 0x20, 0x01}, 0, kLevelPassed, "MAC: 02.7C.4B.00.20.01"},
      {{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0, kLevelPassed, "MAC: FE.FF.FF.FF.FF.FF"},
      // An erased record is no MAC: taken as the default is.
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0, kLevelWarning, "Default MAC: FF.FF.FF.FF.FF.FF"},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0x10100, kLevelFatal, kNoServerLinkText},
      // Group addresses above the default.
      {{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01},
       0x10100,
       kLevelFatal,
       "MAC system failure: 01.00.5E.00.00.01"},
      {{0x03, 0x7C, 0x4B, 0x00, 0x20, 0x01},
       0,
       kLevelFatal,
       "MAC system failure: 03.7C.4B.00.20.01"},
      {{0x02, 0x7C, 0x4B, 0x00, 0x1F, 0xFF},
       0x10100,
       kLevelFatal,
       "MAC system failure: 02.7C.4B.00.1F.FF"},
      {{0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
       0,
       kLevelFatal,
       "MAC system failure: 01.FF.FF.FF.FF.FF"},
      {{0x02, 0x7C, 0x4B, 0x00, 0x20, 0x00},
       0x10000,
       kLevelWarning,
       "Default MAC: 02.7C.4B.00.20.00"},
      {{0x02, 0x7C, 0x4B, 0x00, 0x20, 0x00}, 0x100, kLevelFatal, "Must Report to Update MAC"},
      {{0x02, 0x7C, 0x4B, 0x00, 0x20, 0x00}, 0x10100, kLevelFatal, kNoServerLinkText},
  };
  for (const MacCase& c : cases) {
    SetMac(c.mac);
    context_.mask = c.mask;
    EthernetMac(&context_);
    EXPECT_EQ(c.level, context_.EL) << c.msg;
    EXPECT_STREQ(c.msg, context_.Msg);
  }
  EXPECT_TRUE(NothingWritten());
}

TEST_F(ServerTestsTest, DefaultMacGetsTheServersMacInItsConfigPage) {
  ConnectServer();
  BlankConfigPage();  // an erased MAC record: no MAC, taken as the default
  context_.mask = 0x10100;
  EXPECT_EQ(0u, EthernetMac(&context_));
  EXPECT_EQ(kLevelPassed, context_.EL);
  EXPECT_STREQ("MAC Written: 02.7C.4B.00.20.01", context_.Msg);
  const std::vector<uint8_t> record = {0, 0, 0x02, 0x7C, 0x4B, 0x00, 0x20, 0x01};
  EXPECT_EQ(record, Flash(kConfigPageBase + kMacRecordOffset, 8));
  EXPECT_EQ(std::vector<uint8_t>(kMacRecordOffset, 0xFF), Flash(kConfigPageBase, kMacRecordOffset));
  EXPECT_EQ(0x027C4B002001u, device_.model().Mac());
}

TEST_F(ServerTestsTest, MacServerAndWriteFailures) {
  ConnectServer();
  SetMac({0x02, 0x7C, 0x4B, 0x00, 0x20, 0x00});
  context_.mask = 0x10100;
  server_->SetFault(qxsim::ServerFault::kErrorStatus, "mac", 500);
  EthernetMac(&context_);
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("Failed to get MAC from QXTS", context_.Msg);
  EXPECT_TRUE(NothingWritten());

  server_->SetFault(qxsim::ServerFault::kNone);
  device_.model().SetFlashWriteFault(0);
  {
    platform::FakeClock clock;
    platform::ScopedClock use(&clock);
    EthernetMac(&context_);
  }
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("Write Failed: 02.7C.4B.00.20.01", context_.Msg);
  // The page was erased: the serial number found before may be gone with it.
  EXPECT_STREQ(kSerialNumberTestName, context_.undoneTest);

  DropAfter();
  EXPECT_EQ(1u, EthernetMac(&context_));
  EXPECT_STREQ("Comm Error: (1014)", context_.Msg);
}

TEST_F(ServerTestsTest, AServerMacThatIsNoDevicesOwnIsNotWritten) {
  const struct {
    uint64_t offered;
    const char* msg;
  } cases[] = {
      {0x027C4B002000, "MAC system failure: 02.7C.4B.00.20.00"},   // not above the default
      {0x037C4B002001, "MAC system failure: 03.7C.4B.00.20.01"},   // multicast
      {0xFFFFFFFFFFFF, "MAC system failure: FF.FF.FF.FF.FF.FF"},   // broadcast
      {0x1027C4B002001, "MAC system failure: FF.FF.FF.FF.FF.FF"},  // above 48 bits
  };
  for (const auto& c : cases) {
    qxsim::TestServerOptions options;
    options.firstMac = c.offered;
    options.lastMac = UINT64_MAX;
    ReleaseServer(&context_);
    ConnectServer(options);
    SetMac({0x02, 0x7C, 0x4B, 0x00, 0x20, 0x00});
    context_.mask = 0x10100;
    EthernetMac(&context_);
    EXPECT_EQ(kLevelFatal, context_.EL) << c.msg;
    EXPECT_STREQ(c.msg, context_.Msg);
  }
  EXPECT_TRUE(NothingWritten());
}

// A number from the server with a stray character in it is refused whole,
// however its digits would read.
TEST_F(ServerTestsTest, ServerValuesThatAreNotWhollyHexadecimalAreRefused) {
  const struct {
    bool serial;
    const char* reply;
    uint32_t level;
    const char* msg;
  } cases[] = {
      {true, "200 0x1C1GC892", kLevelFatal, "SN System Failure: 470861970"},
      {true, "200 -1C03C892", kLevelFatal, "SN System Failure: 470010002"},
      {true, "200 1x1C03C892", kLevelFatal, "SN System Failure: 470010002"},
      {true, "200 0x", kLevelFatal, "SN System Failure: 0"},
      {true, "200", kLevelFatal, "SN System Failure: 0"},
      {true, "200 1C03C892", kLevelPassed, "New Serial: 470010002"},
      {false, "200 0x027C4B0G2001", kLevelFatal, "MAC system failure: 02.7C.4B.00.20.01"},
      {false, "200 0x027C4B002001", kLevelPassed, "MAC Written: 02.7C.4B.00.20.01"},
  };
  for (const auto& c : cases) {
    // Identifies the station, then gives the one reply to every request.
    LoopbackPeer peer([&c](PeerConnection& connection, std::string* pending) {
      for (size_t end; (end = pending->find('\n')) != std::string::npos;
           pending->erase(0, end + 1)) {
        connection.Send(pending->compare(0, 3, "ID ") == 0 ? "200\r\n"
                                                           : c.reply + std::string("\r\n"));
      }
    });
    setenv("QXTS_ENDPOINT", peer.endpoint().c_str(), 1);
    ConnectToServer(&context_);
    ASSERT_EQ(kLevelPassed, context_.EL) << context_.Msg;
    device_.model().SetIdentity(470010000, kDefaultMac);
    const uint64_t writes = device_.model().flashWriteCount();
    context_.mask = 0x10140;
    c.serial ? SerialNumber(&context_) : EthernetMac(&context_);
    EXPECT_EQ(c.level, context_.EL) << c.reply;
    EXPECT_STREQ(c.msg, context_.Msg) << c.reply;
    EXPECT_EQ(c.level != kLevelPassed, writes == device_.model().flashWriteCount()) << c.reply;
    ReleaseServer(&context_);
  }
}

// --- System Time ----------------------------------------------------------------

class SystemTimeTest : public ServerTestsTest {
 protected:
  void SetUp() override {
    ServerTestsTest::SetUp();
    context_.isMax = 1;
  }
  void SetDeviceClock(uint32_t seconds) {
    device_.model().WithCore([seconds](qxsim::DeviceCore& core) { core.deviceClock.Set(seconds); });
  }
};

TEST_F(SystemTimeTest, ChecksTheClockWithinFiveSeconds) {
  const struct {
    int64_t host;
    uint32_t device;
    uint32_t level;
    const char* msg;
  } cases[] = {
      {1700000000, 1700000000, kLevelPassed, "Z5: 1700000000, Err: 0"},
      {1700000000, 1700000005, kLevelPassed, "Z5: 1700000005, Err: 5"},
      {1700000000, 1699999995, kLevelPassed, "Z5: 1699999995, Err: -5"},
      {1700000000, 1700000006, kLevelError, "Z5: 1700000006, Err: 6"},
      {1700000000, 1699999994, kLevelError, "Z5: 1699999994, Err: -6"},
      // Past 2038 the device's 32-bit count stays a positive number of seconds.
      {2200000000, 2200000003, kLevelPassed, "Z5: 2200000003, Err: 3"},
      {4294967290, 4294967295, kLevelPassed, "Z5: 4294967295, Err: 5"},
      {2200000000, 0, kLevelError, "Z5: 0, Err: -2200000000"},
  };
  for (const auto& c : cases) {
    platform::FakeClock clock(1000, c.host);
    platform::ScopedClock scoped(&clock);
    SetDeviceClock(c.device);
    device_.ClearRequests();
    EXPECT_EQ(0u, SystemTime(&context_));
    EXPECT_EQ(c.level, context_.EL) << c.msg;
    EXPECT_STREQ(c.msg, context_.Msg);
    EXPECT_EQ(1u, device_.ExchangeCount()) << "the clock is only read";
    EXPECT_EQ(0u, clock.sleepCount());
  }
}

TEST_F(SystemTimeTest, OnlyTheMaxEditionIsChecked) {
  context_.isMax = 0;
  SetDeviceClock(5);
  context_.mask = 0x1000;
  EXPECT_EQ(0u, SystemTime(&context_));
  EXPECT_EQ(kLevelPassed, context_.EL);
  EXPECT_STREQ("System clock:", context_.Msg);
  EXPECT_EQ(1u, device_.ExchangeCount());
}

TEST_F(SystemTimeTest, SetsTheClockAndChecksItTwoSecondsLater) {
  // A slow link moves the host's clock on while the device's keeps the time
  // it was set to: at 2 s per exchange it is 4 s off two seconds later.
  const struct {
    uint32_t slowMs;
    uint32_t level;
    const char* msg;
  } cases[] = {
      {0, kLevelPassed, "Err: -1000 Time set to: 1700000002"},
      {1000, kLevelPassed, "Err: -1001 Time set to: 1700000004"},
      {2000, kLevelError, "Err: -1002 Time set to: 1700000006"},
  };
  for (const auto& c : cases) {
    platform::FakeClock clock(1000, 1700000000);
    platform::ScopedClock scoped(&clock);
    SetDeviceClock(1699999000);
    LinkFaults faults;
    faults.slowMs = c.slowMs;
    device_.SetFaults(faults);
    device_.ClearRequests();
    context_.mask = 0x1000;
    EXPECT_EQ(0u, SystemTime(&context_));
    EXPECT_EQ(c.level, context_.EL) << c.msg;
    EXPECT_STREQ(c.msg, context_.Msg);
    EXPECT_EQ(std::vector<uint32_t>{1700000000 + c.slowMs / 1000},
              device_.recorder().WrittenU32(kRegClockSet));
    EXPECT_EQ(1u, clock.sleepCount());
    EXPECT_EQ(3000u + 3 * c.slowMs, clock.TickMs());
  }
}

TEST_F(SystemTimeTest, AClockThatIgnoresTheSettingIsAnError) {
  platform::FakeClock clock(1000, 1700000000);
  platform::ScopedClock scoped(&clock);
  LinkFaults faults;  // 1699999000, whatever was set
  faults.misread = {{kRegClock, 0x6553}, {kRegClock + 1, 0xED18}};
  device_.SetFaults(faults);
  context_.mask = 0x1000;
  SystemTime(&context_);
  EXPECT_EQ(kLevelError, context_.EL);
  EXPECT_STREQ("Err: -1000 Time set to: 1699999000", context_.Msg);
}

TEST_F(SystemTimeTest, CommFailuresAtEachStep) {
  // 0: the first read fails; 1: the clock setting fails; 2: the read after it.
  for (int failAt = 0; failAt < 3; ++failAt) {
    platform::FakeClock clock(1000, 1700000000);
    platform::ScopedClock scoped(&clock);
    context_.mask = 0x1000;
    DropAfter(failAt);
    EXPECT_EQ(1u, SystemTime(&context_)) << failAt;
    EXPECT_EQ(kLevelFatal, context_.EL) << failAt;
    EXPECT_STREQ("Comm Error: (1014)", context_.Msg) << failAt;
    EXPECT_EQ(failAt == 2 ? 1u : 0u, clock.sleepCount()) << failAt;
  }
}

// --- Report Test Results --------------------------------------------------------

class ReportTest : public ServerTestsTest {
 protected:
  void Lines(uint32_t testCount) {
    context_.testCount = testCount;
    texts_.clear();
    texts_.reserve(testCount);
    for (uint32_t i = 0; i < testCount; ++i)
      texts_.push_back("T" + std::to_string(i) + " : Passed : ok");
    for (uint32_t i = 0; i < kMaxTests; ++i) {
      context_.resultLines[i] = i + 1 < testCount ? &texts_[i][0] : nullptr;
    }
  }
  std::string Joined(uint32_t count) {
    std::string s;
    for (uint32_t i = 0; i < count; ++i) s += (i > 0 ? ";" : "") + texts_[i];
    return s;
  }
  std::vector<std::string> texts_;
};

TEST_F(ReportTest, SendsTheLinesOfTheTestsBeforeIt) {
  ConnectServer();
  context_.serialNumber = 470010123;
  const struct {
    uint32_t testCount;
    uint32_t mask;
    const char* command;
    uint32_t sent;
  } cases[] = {
      {4, 0x10000, "qtest", 3}, {4, 0x30000, "test", 3},  {21, 0x30080, "test", 19},
      {1, 0x10000, "qtest", 0}, {1, 0x10080, "qtest", 0},
  };
  size_t stored = 0;
  for (const auto& c : cases) {
    Lines(c.testCount);
    context_.mask = c.mask;
    EXPECT_EQ(0u, ReportTestResults(&context_));
    EXPECT_EQ(kLevelPassed, context_.EL);
    EXPECT_EQ("Sent " + std::to_string(c.sent) + " results. ", std::string(context_.Msg));
    std::vector<std::string> results = server_->results();
    ASSERT_EQ(++stored, results.size());
    EXPECT_EQ(std::string(c.command) + " 0x000000001c03c90b {" + Joined(c.sent) + "}",
              results.back());
  }
}

TEST_F(ReportTest, NoLinkOrAFailedSendIsFatal) {
  Lines(3);
  context_.mask = 0x10000;
  EXPECT_EQ(1u, ReportTestResults(&context_));
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ(kNoServerLinkText, context_.Msg);

  ConnectServer();
  server_->SetFault(qxsim::ServerFault::kClose, "qtest");
  EXPECT_EQ(1u, ReportTestResults(&context_));
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("Comm Error: (1602)", context_.Msg);
  // The link is gone now: the next upload fails at once.
  server_->SetFault(qxsim::ServerFault::kNone);
  EXPECT_EQ(1u, ReportTestResults(&context_));
  EXPECT_STREQ("Comm Error: (3)", context_.Msg);
  EXPECT_TRUE(server_->results().empty());
}

}  // namespace
