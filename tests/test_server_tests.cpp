// The server-backed tests against the in-process fake device and the
// bench's test server: verdicts and texts for each identity case, what lands
// in the configuration page, the clock check and setting on a fake clock, and
// the result upload.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/flash_map.h"
#include "harness/context.h"
#include "platform/clock.h"
#include "server/server_tests.h"
#include "sim/test_server.h"
#include "tests/support/fake_device.h"

namespace {

constexpr int kBrokenLink = 1299;  // any non-zero code of the device link

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
    for (int i = 0; i < 3; ++i) {
      device_.SetU16(kRegMac + i, static_cast<uint16_t>(mac[2 * i] << 8 | mac[2 * i + 1]));
    }
  }
  bool ConfigPageBlank() const {
    const uint8_t* page = device_.Flash() + kConfigPageBase;
    for (uint32_t i = 0; i < kFlashPageSize; ++i) {
      if (page[i] != 0xFF) return false;
    }
    return true;
  }
  std::vector<uint8_t> Flash(uint32_t address, size_t length) const {
    return std::vector<uint8_t>(device_.Flash() + address, device_.Flash() + address + length);
  }
  // Makes every write of the flash write window fail.
  void FailFlashWrites() {
    device_.SetWriteHook([](uint32_t address, uint32_t) {
      return address == kRegFlashWriteWindow ? kBrokenLink : 0;
    });
  }

  FakeDevice device_;
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
    uint8_t block[36] = {};
    block[5] = c.code;
    block[6] = static_cast<uint8_t>(c.type >> 8);
    block[7] = static_cast<uint8_t>(c.type);
    for (int i = 0; i < 18; ++i) {
      device_.SetU16(kRegJigData + i, static_cast<uint16_t>(block[2 * i] << 8 | block[2 * i + 1]));
    }
    device_.SetU16(kRegDioGroupLevel, c.lines);
    ReadTestJigInfo(&context_);
    EXPECT_EQ(c.level, context_.EL) << c.msg;
    EXPECT_STREQ(c.msg, context_.Msg);
    EXPECT_EQ(c.code, context_.jigCode);
    EXPECT_EQ(c.type, context_.jigType);
  }
}

TEST_F(ServerTestsTest, JigValuesAndTheBusTransfer) {
  // Floats 0..7 from byte 4; float 0 carries code and type.
  const float floats[8] = {0, 4.0f, -4.0f, 10000.0f, 99.0f, 100000.0f, 0.1f, 1e6f};
  uint8_t block[36] = {0xAA, 0xBB, 0xCC, 0xDD};
  for (int f = 1; f < 8; ++f) {
    uint32_t bits;
    std::memcpy(&bits, &floats[f], 4);
    for (int b = 0; b < 4; ++b) block[4 + 4 * f + b] = static_cast<uint8_t>(bits >> (24 - 8 * b));
  }
  block[5] = 3;
  block[7] = 6;
  for (int i = 0; i < 18; ++i) {
    device_.SetU16(kRegJigData + i, static_cast<uint16_t>(block[2 * i] << 8 | block[2 * i + 1]));
  }
  device_.SetU16(kRegDioGroupLevel, 3);
  device_.ClearRequests();
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
  device_.FailNext(kBrokenLink);
  EXPECT_EQ(1u, ReadTestJigInfo(&context_));
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("Comm Error: (1299)", context_.Msg);
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
    device_.SetU32(kRegSerialNumber, c.device);
    context_.mask = c.mask;
    SerialNumber(&context_);
    EXPECT_EQ(c.level, context_.EL) << c.msg;
    EXPECT_STREQ(c.msg, context_.Msg);
    EXPECT_EQ(static_cast<int64_t>(c.device), context_.serialNumber) << c.msg;
  }
  EXPECT_TRUE(ConfigPageBlank());
}

TEST_F(ServerTestsTest, BlankDeviceGetsTheServersSerialInItsConfigPage) {
  ConnectServer();
  device_.SetU32(kRegSerialNumber, 0xFFFFFFFF);
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
}

TEST_F(ServerTestsTest, ServerSerialsOutsideTheRangeAreRefused) {
  const struct {
    uint64_t offered;
    uint32_t level;
    const char* msg;
  } cases[] = {
      {470010001, kLevelFatal, "SN System Failure: 470010001"},
      {480010001, kLevelFatal, "SN System Failure: 480010001"},
      {0x100000000ull + 470010005, kLevelPassed, "New Serial: 470010005"},  // low 32 bits
      {480010000, kLevelPassed, "New Serial: 480010000"},
  };
  for (const auto& c : cases) {
    qxsim::TestServerOptions options;
    options.firstSerial = c.offered;
    options.lastSerial = UINT64_MAX;
    ReleaseServer(&context_);
    ConnectServer(options);
    device_.SetU32(kRegSerialNumber, 470010000);
    std::vector<uint8_t> blank(kFlashPageSize, 0xFF);
    device_.SetFlash(kConfigPageBase, blank.data(), blank.size());
    context_.mask = 0x10040;
    SerialNumber(&context_);
    EXPECT_EQ(c.level, context_.EL) << c.msg;
    EXPECT_STREQ(c.msg, context_.Msg);
    EXPECT_EQ(c.level != kLevelPassed, ConfigPageBlank()) << c.msg;
  }
}

TEST_F(ServerTestsTest, FailedServerRequestIsFatalAndWritesNothing) {
  ConnectServer();
  server_->SetFault(qxsim::ServerFault::kErrorStatus, "serial", 500);
  device_.SetU32(kRegSerialNumber, 470010000);
  context_.mask = 0x10040;
  SerialNumber(&context_);
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("Failed to get SN from QXTS (500)", context_.Msg);
  server_->SetFault(qxsim::ServerFault::kClose, "serial");
  SerialNumber(&context_);
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("Failed to get SN from QXTS (1002)", context_.Msg);
  EXPECT_TRUE(ConfigPageBlank());
  EXPECT_EQ(470010000, context_.serialNumber);
}

TEST_F(ServerTestsTest, SerialWriteAndReadFailures) {
  ConnectServer();
  device_.SetU32(kRegSerialNumber, 0xFFFFFFFF);
  context_.mask = 0x10040;
  FailFlashWrites();
  SerialNumber(&context_);
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("Failed to write SN (1299)", context_.Msg);
  EXPECT_EQ(0xFFFFFFFF, context_.serialNumber);

  device_.FailNext(kBrokenLink);
  EXPECT_EQ(1u, SerialNumber(&context_));
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("Comm Error: (1299)", context_.Msg);
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
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}, 0, kLevelPassed, "MAC: FF.FF.FF.FF.FF.FE"},
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
  EXPECT_TRUE(ConfigPageBlank());
}

TEST_F(ServerTestsTest, DefaultMacGetsTheServersMacInItsConfigPage) {
  ConnectServer();
  SetMac({0x02, 0x7C, 0x4B, 0x00, 0x20, 0x00});
  context_.mask = 0x10100;
  EXPECT_EQ(0u, EthernetMac(&context_));
  EXPECT_EQ(kLevelPassed, context_.EL);
  EXPECT_STREQ("MAC Written: 02.7C.4B.00.20.01", context_.Msg);
  const std::vector<uint8_t> record = {0, 0, 0x02, 0x7C, 0x4B, 0x00, 0x20, 0x01};
  EXPECT_EQ(record, Flash(kConfigPageBase + kMacRecordOffset, 8));
  EXPECT_EQ(std::vector<uint8_t>(kMacRecordOffset, 0xFF), Flash(kConfigPageBase, kMacRecordOffset));
}

TEST_F(ServerTestsTest, MacServerAndWriteFailures) {
  ConnectServer();
  SetMac({0x02, 0x7C, 0x4B, 0x00, 0x20, 0x00});
  context_.mask = 0x10100;
  server_->SetFault(qxsim::ServerFault::kErrorStatus, "mac", 500);
  EthernetMac(&context_);
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("Failed to get MAC from QXTS", context_.Msg);
  EXPECT_TRUE(ConfigPageBlank());

  server_->SetFault(qxsim::ServerFault::kNone);
  FailFlashWrites();
  EthernetMac(&context_);
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("Write Failed: 02.7C.4B.00.20.01", context_.Msg);

  device_.FailNext(kBrokenLink);
  EXPECT_EQ(1u, EthernetMac(&context_));
  EXPECT_STREQ("Comm Error: (1299)", context_.Msg);
}

TEST_F(ServerTestsTest, AServerMacNotAboveTheDefaultIsNotWritten) {
  qxsim::TestServerOptions options;
  options.firstMac = 0x027C4B002000;
  ConnectServer(options);
  SetMac({0x02, 0x7C, 0x4B, 0x00, 0x20, 0x00});
  context_.mask = 0x10100;
  EthernetMac(&context_);
  EXPECT_EQ(kLevelFatal, context_.EL);
  EXPECT_STREQ("MAC system failure: 02.7C.4B.00.20.00", context_.Msg);
  EXPECT_TRUE(ConfigPageBlank());
}

// --- System Time ----------------------------------------------------------------

class SystemTimeTest : public ServerTestsTest {
 protected:
  void SetUp() override {
    ServerTestsTest::SetUp();
    context_.isMax = 1;
  }
  // The device's clock follows what is written to the clock-set register,
  // moved on by `drift` seconds.
  void DeviceSetsItsClock(uint32_t drift) {
    device_.SetWriteHook([this, drift](uint32_t address, uint32_t) {
      if (address == kRegClockSet) {
        device_.SetU32(kRegClock, device_.GetU32(kRegClockSet) + drift);
      }
      return 0;
    });
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
    device_.SetU32(kRegClock, c.device);
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
  device_.SetU32(kRegClock, 5);
  context_.mask = 0x1000;
  EXPECT_EQ(0u, SystemTime(&context_));
  EXPECT_EQ(kLevelPassed, context_.EL);
  EXPECT_STREQ("System clock:", context_.Msg);
  EXPECT_EQ(1u, device_.ExchangeCount());
}

TEST_F(SystemTimeTest, SetsTheClockAndChecksItTwoSecondsLater) {
  const struct {
    uint32_t drift;
    uint32_t level;
    const char* msg;
  } cases[] = {
      {2, kLevelPassed, "Err: -1000 Time set to: 1700000002"},
      {3, kLevelPassed, "Err: -1000 Time set to: 1700000003"},
      {4, kLevelError, "Err: -1000 Time set to: 1700000004"},
  };
  for (const auto& c : cases) {
    platform::FakeClock clock(1000, 1700000000);
    platform::ScopedClock scoped(&clock);
    device_.SetU32(kRegClock, 1699999000);
    DeviceSetsItsClock(c.drift);
    context_.mask = 0x1000;
    EXPECT_EQ(0u, SystemTime(&context_));
    EXPECT_EQ(c.level, context_.EL) << c.msg;
    EXPECT_STREQ(c.msg, context_.Msg);
    EXPECT_EQ(1700000000u, device_.GetU32(kRegClockSet));
    EXPECT_EQ(1u, clock.sleepCount());
    EXPECT_EQ(3000u, clock.TickMs());
  }
}

TEST_F(SystemTimeTest, AClockThatIgnoresTheSettingIsAnError) {
  platform::FakeClock clock(1000, 1700000000);
  platform::ScopedClock scoped(&clock);
  device_.SetU32(kRegClock, 1699999000);
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
    device_.SetU32(kRegClock, 1700000000);
    context_.mask = 0x1000;
    device_.SetWriteHook([this, failAt](uint32_t address, uint32_t) {
      if (address != kRegClockSet) return 0;
      if (failAt == 1) return kBrokenLink;
      if (failAt == 2) device_.FailNext(kBrokenLink);
      return 0;
    });
    if (failAt == 0) device_.FailNext(kBrokenLink);
    EXPECT_EQ(1u, SystemTime(&context_)) << failAt;
    EXPECT_EQ(kLevelFatal, context_.EL) << failAt;
    EXPECT_STREQ("Comm Error: (1299)", context_.Msg) << failAt;
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
  EXPECT_STREQ("Comm Error: (1002)", context_.Msg);
  // The link is gone now: the next upload fails at once.
  server_->SetFault(qxsim::ServerFault::kNone);
  EXPECT_EQ(1u, ReportTestResults(&context_));
  EXPECT_STREQ("Comm Error: (3)", context_.Msg);
  EXPECT_TRUE(server_->results().empty());
}

}  // namespace
