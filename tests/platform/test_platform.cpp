// The platform layer as the station uses it, on every operating system:
// endpoint texts, settings, the replaceable clock and deadlines, TCP sockets
// on loopback with their library's start-ups, serial ports that cannot open,
// and the system's error texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/host/listener.h"
#include "platform/number.h"
#include "platform/serial.h"
#include "platform/settings.h"
#include "platform/socket.h"
#include "platform/spin_policy.h"
#include "platform/status.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(ParseEndpoint, AcceptsHostWithAndWithoutPort) {
  char host[32];
  uint16_t port = 0;
  ASSERT_EQ(platform::ParseEndpoint("127.0.0.1:5001", 502, host, sizeof host, &port),
            platform::kOk);
  EXPECT_STREQ(host, "127.0.0.1");
  EXPECT_EQ(port, 5001);
  ASSERT_EQ(platform::ParseEndpoint("10.0.0.7", 502, host, sizeof host, &port), platform::kOk);
  EXPECT_STREQ(host, "10.0.0.7");
  EXPECT_EQ(port, 502);
  ASSERT_EQ(platform::ParseEndpoint("h:000080", 502, host, sizeof host, &port), platform::kOk);
  EXPECT_EQ(port, 80) << "a leading zero is decimal";
}

TEST(ParseEndpoint, RefusesMalformedTextsAndNeverOverrunsTheHostField) {
  const char* bad[] = {"",         ":80",       "host:",   "host:0",   "host:65536",
                       "host:12a", "host:0x50", "host:-1", "host:+80", "host:999999"};
  for (const char* text : bad) {
    char host[32];
    uint16_t port = 7;
    EXPECT_EQ(platform::ParseEndpoint(text, 502, host, sizeof host, &port), platform::kBadAddress)
        << text;
    EXPECT_EQ(port, 7) << text;
  }
  char small[6];
  std::memset(small, 'x', sizeof small);
  uint16_t port = 0;
  EXPECT_EQ(platform::ParseEndpoint("123456:1", 502, small, sizeof small, &port),
            platform::kBadAddress);
  EXPECT_EQ(platform::ParseEndpoint("12345:1", 502, small, sizeof small, &port), platform::kOk);
  EXPECT_STREQ(small, "12345");
}

// A leading zero is decimal everywhere a person types a number; hexadecimal
// only after 0x; nothing else around the digits.
TEST(NumberTest, DecimalOrHexadecimalAndNeverOctal) {
  struct Case {
    const char* text;
    uint64_t max;
    bool ok;
    uint64_t value;
  } cases[] = {
      {"02000400", 0xFFFFFFFF, true, 2000400},
      {"010", 99, true, 10},
      {"08", 99, true, 8},
      {"0x1F", 99, true, 31},
      {"0X1f", 99, true, 31},
      {"0", 0, true, 0},
      {"18446744073709551615", UINT64_MAX, true, UINT64_MAX},
      {"18446744073709551616", UINT64_MAX, false, 0},
      {"0x10000000000000000", UINT64_MAX, false, 0},
      {"100", 99, false, 0},
      {"0x", 99, false, 0},
      {"", 99, false, 0},
      {" 1", 99, false, 0},
      {"+1", 99, false, 0},
      {"-1", 99, false, 0},
      {"1 ", 99, false, 0},
      {"1f", 99, false, 0},
      {"00x1", 99, false, 0},
  };
  for (const Case& c : cases) {
    uint64_t v = 12345;
    EXPECT_EQ(c.ok, platform::ParseWholeNumber(c.text, c.max, &v)) << c.text;
    EXPECT_EQ(c.ok ? c.value : 12345u, v) << c.text;
  }
  uint64_t v = 0;
  EXPECT_TRUE(platform::ParseDecimalNumber("0080", 65535, &v));
  EXPECT_EQ(80u, v);
  EXPECT_FALSE(platform::ParseDecimalNumber("0x50", 65535, &v));
  int64_t s = 0;
  EXPECT_TRUE(platform::ParseSignedNumber("-010", -100, 100, &s));
  EXPECT_EQ(-10, s);
  EXPECT_TRUE(platform::ParseSignedNumber("-9223372036854775808", INT64_MIN, 0, &s));
  EXPECT_EQ(INT64_MIN, s);
  for (const char* bad : {"-101", "101", "--1", "-", "- 1"}) {
    EXPECT_FALSE(platform::ParseSignedNumber(bad, -100, 100, &s)) << bad;
  }
}

TEST(Settings, EnvironmentOverridesTheSystemsOwnComDevice) {
  // COMn is the system's own device unless a setting names another.
  struct Default {
    const char* platform;
    const char* com1;
    const char* com8;
  } defaults[] = {{"posix", "/dev/ttyS0", "/dev/ttyS7"}, {"win32", "\\\\.\\COM1", "\\\\.\\COM8"}};
  const Default* expected = nullptr;
  for (const Default& d : defaults) {
    if (std::strcmp(d.platform, platform::PlatformName()) == 0) expected = &d;
  }
  ASSERT_NE(expected, nullptr) << platform::PlatformName();
  platform::SetSetting("QX_COM1", nullptr);
  EXPECT_STREQ(platform::Setting("QX_COM1"), expected->com1);
  EXPECT_STREQ(platform::Setting("QX_COM8"), expected->com8);
  EXPECT_STREQ(platform::Setting("QX_COM9"), "");
  platform::SetSetting("QX_COM1", "meter-line");
  EXPECT_STREQ(platform::Setting("QX_COM1"), "meter-line");
  platform::SetSetting("QX_COM1", nullptr);
  EXPECT_STREQ(platform::Setting("QX_COM1"), expected->com1);
  EXPECT_STREQ(platform::Setting("NO_SUCH_SETTING"), "");
}

TEST(FakeClockTest, DeadlinesAndSleepsFollowTheInstalledClock) {
  platform::FakeClock clock(5000, 1000);
  platform::ScopedClock scope(&clock);
  platform::Deadline deadline(21000);
  EXPECT_FALSE(deadline.Expired());
  EXPECT_EQ(deadline.RemainingMs(), 21000u);
  platform::SleepMs(20999);
  EXPECT_FALSE(deadline.Expired());
  EXPECT_EQ(deadline.RemainingMs(), 1u);
  platform::SleepMs(1);
  EXPECT_TRUE(deadline.Expired());
  EXPECT_EQ(deadline.RemainingMs(), 0u);
  EXPECT_EQ(platform::WallSeconds(), 1021);
  EXPECT_EQ(clock.sleepCount(), 2u);
}

TEST(OsWaitTest, NoWaitBecomesTheOperatingSystemsForever) {
  EXPECT_EQ(platform::OsWaitMs(50), 50);
  EXPECT_EQ(platform::OsWaitMs(0x80000000u), 0x7FFFFFFF);
  EXPECT_EQ(platform::OsWaitMs(0xFFFFFFFFu), 0x7FFFFFFF);
}

TEST(SystemClockTest, TicksDoNotGoBackwards) {
  uint64_t a = platform::TickMs();
  platform::SleepMs(2);
  EXPECT_GE(platform::TickMs(), a + 2);
  EXPECT_GT(platform::WallSeconds(), 1600000000);
}

class TcpSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(listener_.Listen("127.0.0.1", 0), platform::kOk);
    port_ = listener_.port();
    ASSERT_NE(port_, 0) << "port 0 takes a free port";
  }
  void ConnectAndAccept(platform::TcpSocket& s) {
    ASSERT_EQ(s.Connect("127.0.0.1", port_, 1000), platform::kOk);
    ASSERT_EQ(listener_.Accept(&peer_, 1000), platform::kOk);
  }
  platform::SocketsUser sockets_;
  platform::TcpListener listener_;
  platform::TcpSocket peer_;
  uint16_t port_ = 0;
};

TEST_F(TcpSocketTest, SendsAndReceives) {
  platform::TcpSocket s;
  ConnectAndAccept(s);
  ASSERT_EQ(s.SendAll("ping", 4, 1000), platform::kOk);
  char got[8] = {};
  size_t n = 0;
  ASSERT_EQ(peer_.Receive(got, sizeof got, &n, 1000), platform::kOk);
  EXPECT_EQ(std::string(got, n), "ping");
  ASSERT_EQ(peer_.SendAll("pong", 4, 1000), platform::kOk);
  char buffer[16];
  ASSERT_EQ(s.Receive(buffer, sizeof buffer, &n, 1000), platform::kOk);
  EXPECT_EQ(std::string(buffer, n), "pong");
}

TEST_F(TcpSocketTest, ReceiveTimesOutThenSeesTheClose) {
  platform::TcpSocket s;
  ConnectAndAccept(s);
  char buffer[16];
  size_t n = 99;
  EXPECT_EQ(s.Receive(buffer, sizeof buffer, &n, 50), platform::kTimeout);
  EXPECT_EQ(n, 0u);
  peer_.Close();
  EXPECT_EQ(s.Receive(buffer, sizeof buffer, &n, 1000), platform::kClosed);
  // Sending into a closed connection is a status, not a dead process.
  int status = platform::kOk;
  for (int i = 0; i < 50 && status == platform::kOk; ++i) {
    status = s.SendAll("data", 4, 100);
  }
  EXPECT_NE(status, platform::kOk);
}

// A wait long enough for the socket's own timer ends on time, in real time
// whatever clock is in force; a spinning socket still takes data that comes
// late, and sees a close.
TEST_F(TcpSocketTest, LongWaitsKeepRealTimeAndSpinningSocketsStillWait) {
  platform::TcpSocket s;
  ConnectAndAccept(s);
  s.SetSpinUs(50);
  platform::FakeClock fake;
  platform::ScopedClock scoped(&fake);
  char buffer[16];
  size_t n = 0;
  uint64_t start = platform::MonotonicUs();
  EXPECT_EQ(s.Receive(buffer, sizeof buffer, &n, 150), platform::kTimeout);
  uint64_t tookMs = (platform::MonotonicUs() - start) / 1000;
  EXPECT_GE(tookMs, 140u);
  EXPECT_LT(tookMs, 1000u);
  std::thread late([this] {
    platform::SystemClock().SleepMs(30);
    peer_.SendAll("late", 4, 1000);
    platform::SystemClock().SleepMs(30);
    peer_.Close();
  });
  ASSERT_EQ(s.Receive(buffer, sizeof buffer, &n, 2000), platform::kOk);
  EXPECT_EQ(std::string(buffer, n), "late");
  EXPECT_EQ(s.Receive(buffer, sizeof buffer, &n, 2000), platform::kClosed);
  late.join();
}

// The spin goes on while it pays, stops after kMissesToStop misses in a
// row, then tries once every kProbeEvery waits until a probe pays.
TEST(SpinPolicyTest, SpinsWhilePayingAndProbesOnceStopped) {
  using P = platform::SpinPolicy;
  P off;
  EXPECT_FALSE(off.ShouldSpin()) << "no budget, no spin";
  P p;
  p.SetBudgetUs(50);
  // Misses, then a paid spin that starts the count again, then misses.
  for (uint32_t i = 0; i < 3 + P::kMissesToStop; ++i) {
    ASSERT_TRUE(p.ShouldSpin()) << i;
    p.Record(i == 2);
  }
  EXPECT_FALSE(p.ShouldSpin()) << "stopped after kMissesToStop misses in a row";
  int spins = 0;
  for (uint32_t i = 1; i < 2 * P::kProbeEvery; ++i) {
    if (p.ShouldSpin()) {
      ++spins;
      p.Record(false);
    }
  }
  EXPECT_EQ(spins, 2) << "stopped: one probe per kProbeEvery waits";
  for (uint32_t i = 0; !p.ShouldSpin(); ++i) ASSERT_LT(i, P::kProbeEvery);
  p.Record(true);
  EXPECT_TRUE(p.ShouldSpin()) << "a probe that paid starts it again";
}

TEST_F(TcpSocketTest, RefusedAndUnopenedSocketsFail) {
  listener_.Close();
  platform::TcpSocket s;
  EXPECT_EQ(s.Connect("127.0.0.1", port_, 1000), platform::kRefused);
  EXPECT_FALSE(s.IsOpen());
  EXPECT_NE(s.LastOsError(), 0);
  char buffer[4];
  size_t n = 0;
  EXPECT_EQ(s.Receive(buffer, sizeof buffer, &n, 10), platform::kNotOpen);
  EXPECT_EQ(s.SendAll("x", 1, 10), platform::kNotOpen);
  EXPECT_EQ(s.Connect("", 80, 10), platform::kBadAddress);
  // No name is looked up (a lookup has no time limit); localhost needs none.
  EXPECT_EQ(s.Connect("qxts.invalid", port_, 10), platform::kBadAddress);
  EXPECT_EQ(s.Connect("localhost", port_, 1000), platform::kRefused);
}

TEST_F(TcpSocketTest, ListenerAcceptsWithinItsDeadlineAndRefusesATakenPort) {
  platform::TcpSocket none;
  EXPECT_EQ(listener_.Accept(&none, 30), platform::kTimeout);
  EXPECT_FALSE(none.IsOpen());
  platform::TcpListener second;
  EXPECT_EQ(second.Listen("127.0.0.1", port_), platform::kIoError) << "the port is taken";
  EXPECT_NE(second.LastOsError(), 0);
  EXPECT_EQ(second.Listen("no such host.invalid", 0), platform::kBadAddress);
}

TEST(ParseEndpoint, PortZeroOnlyForListenersThatAskForIt) {
  char host[32];
  uint16_t port = 7;
  EXPECT_EQ(platform::ParseEndpoint("127.0.0.1:0", 0, host, sizeof host, &port, true),
            platform::kOk);
  EXPECT_EQ(port, 0);
  EXPECT_EQ(platform::ParseEndpoint("127.0.0.1", 0, host, sizeof host, &port, true),
            platform::kBadAddress)
      << "a listener names its port";
}

TEST(SocketsTest, StartUpsAreCountedAndAReleaseBeyondThemIsIgnored) {
  int before = platform::SocketsStarted();
  {
    platform::SocketsUser user;
    ASSERT_EQ(user.status(), platform::kOk);
    EXPECT_EQ(platform::SocketsStarted(), before + 1);
  }
  EXPECT_EQ(platform::SocketsStarted(), before);
  for (int i = 0; i < before + 2; ++i) platform::SocketsCleanup();
  EXPECT_EQ(platform::SocketsStarted(), 0);
  // The library still starts and serves afterwards.
  platform::SocketsUser user;
  platform::TcpListener listener;
  EXPECT_EQ(listener.Listen("127.0.0.1", 0), platform::kOk);
}

TEST(SerialPortTest, PortsThatCannotOpenSayWhyAndRefuseUse) {
  platform::SerialPort port;
  for (const char* name : {"COM0", "COM9", "COM10", "LPT1", "com1", ""}) {
    EXPECT_EQ(port.Open(name), platform::kNotFound) << name;
    EXPECT_FALSE(port.IsOpen());
  }
  EXPECT_EQ(port.Open(nullptr), platform::kNotFound);

  TempDir dir;
  std::string missing = dir.File("no-such-line");
  platform::SetSetting("QX_COM7", missing.c_str());
  EXPECT_EQ(port.Open("COM7"), platform::kNotFound);
  EXPECT_STREQ(port.Path(), missing.c_str());
  EXPECT_NE(port.LastOsError(), 0);
  platform::SetSetting("QX_COM7", nullptr);

  char buffer[8];
  size_t n = 5;
  EXPECT_EQ(port.Read(buffer, sizeof buffer, &n), platform::kNotOpen);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(port.Write("x", 1, 10, &n), platform::kNotOpen);
  EXPECT_EQ(port.BytesWaiting(&n), platform::kNotOpen);
  EXPECT_EQ(port.SetNonBlockingReads(), platform::kNotOpen);
  platform::LineSettings line;
  line.baudRate = 9600;
  line.dataBits = 7;
  line.parity = platform::Parity::kEven;
  line.stopBits = 2;
  EXPECT_EQ(port.Configure(line), platform::kNotOpen);
  port.Close();
}

TEST(WriteCheckTest, FoldersAndFilesAreTriedByReallyMakingAFile) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string file = dir.File("file");
  ASSERT_EQ(platform::kOk, platform::WriteFileAtomically(file.c_str(), "x", 1));
  const struct {
    std::string path;
    int folder;  // CheckFolderTakesFiles
    int target;  // CheckFileTakesWrite
  } cases[] = {
      {dir.path(), platform::kOk, platform::kNotRegular},
      {file, platform::kNotRegular, platform::kOk},
      {dir.File("new.xml"), platform::kNotFound, platform::kOk},
      {dir.File("missing/new.xml"), platform::kNotFound, platform::kNotFound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.folder, platform::CheckFolderTakesFiles(c.path.c_str()));
    EXPECT_EQ(c.target, platform::CheckFileTakesWrite(c.path.c_str()));
  }
  auto entries = std::filesystem::directory_iterator(dir.path());
  EXPECT_EQ(1, std::distance(std::filesystem::begin(entries), std::filesystem::end(entries)))
      << "a check leaves nothing behind";
}

TEST(OsErrorTextTest, GivesTheSystemsTextWithoutALineEndAndCutToFit) {
  // The code a missing device gives, whatever the system numbers it.
  TempDir dir;
  std::string missing = dir.File("none");
  platform::SetSetting("QX_COM6", missing.c_str());
  platform::SerialPort port;
  ASSERT_EQ(port.Open("COM6"), platform::kNotFound);
  platform::SetSetting("QX_COM6", nullptr);
  char text[256];
  std::string full = platform::OsErrorText(port.LastOsError(), text, sizeof text);
  ASSERT_GT(full.size(), 5u);
  EXPECT_NE(full.back(), '\n');
  EXPECT_NE(full.back(), '\r');
  char small[8];
  std::memset(small, 'x', sizeof small);
  EXPECT_EQ(std::strlen(platform::OsErrorText(port.LastOsError(), small, sizeof small)), 7u);
  EXPECT_STREQ(platform::OsErrorText(1, nullptr, 0), "");
}

// Parity framing and exclusive opening need a real port: a pseudo-terminal
// carries bytes without framing, and Wine reads 7E2 back as 8N2 and lets a
// second opener share the line.
TEST(SerialPortTest, ARealPortTakesTheMetersFramingAndOneOpenerOnly) {
  const char* name = platform::Setting("QX_TEST_REAL_COM");
  if (name[0] == '\0') {
    GTEST_SKIP() << "needs a real serial port on Windows: set QX_TEST_REAL_COM=COMn";
  }
  platform::SerialPort port;
  ASSERT_EQ(port.Open(name), platform::kOk) << port.Path();
  platform::SerialPort second;
  EXPECT_NE(second.Open(name), platform::kOk) << "the port is not shared";
  platform::LineSettings line;
  line.baudRate = 9600;
  line.dataBits = 7;
  line.parity = platform::Parity::kEven;
  line.stopBits = 2;
  line.checkParity = true;
  EXPECT_EQ(port.Configure(line), platform::kOk);
  line.dataBits = 9;
  EXPECT_EQ(port.Configure(line), platform::kBadArgument);
}

}  // namespace
