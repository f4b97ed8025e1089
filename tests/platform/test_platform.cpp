// The platform layer: endpoint texts, the replaceable clock and deadlines,
// TCP client sockets on loopback.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/pty.h"
#include "platform/serial.h"
#include "platform/settings.h"
#include "platform/socket.h"
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
}

TEST(ParseEndpoint, RefusesMalformedTextsAndNeverOverrunsTheHostField) {
  const char* bad[] = {"",           ":80",      "host:",   "host:0",
                       "host:65536", "host:12a", "host:-1", "host:999999"};
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

TEST(Settings, EnvironmentOverridesTheCompiledDefault) {
  unsetenv("QX_COM3");
  EXPECT_STREQ(platform::Setting("QX_COM3"), "/dev/ttyS2");
  setenv("QX_COM3", "/tmp/meter", 1);
  EXPECT_STREQ(platform::Setting("QX_COM3"), "/tmp/meter");
  unsetenv("QX_COM3");
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
}

TEST_F(TcpSocketTest, ListenerAcceptsWithinItsDeadlineAndRefusesATakenPort) {
  platform::TcpSocket none;
  EXPECT_EQ(listener_.Accept(&none, 30), platform::kTimeout);
  EXPECT_FALSE(none.IsOpen());
  platform::TcpListener second;
  EXPECT_EQ(second.Listen("127.0.0.1", port_), platform::kIoError) << "the port is taken";
  EXPECT_NE(second.LastOsError(), 0);
  EXPECT_EQ(second.Listen("no such host.invalid", 0), platform::kBadAddress);

  // Non-blocking use: Poll tells which side is ready, SendSome never waits.
  platform::TcpSocket client;
  ConnectAndAccept(client);
  platform::PollItem item;
  item.handle = peer_.handle();
  item.wantRead = true;
  ASSERT_EQ(platform::Poll(&item, 1, 0), platform::kOk);
  EXPECT_FALSE(item.readable);
  size_t sent = 0;
  ASSERT_EQ(client.SendSome("x", 1, &sent), platform::kOk);
  EXPECT_EQ(sent, 1u);
  ASSERT_EQ(platform::Poll(&item, 1, 1000), platform::kOk);
  EXPECT_TRUE(item.readable);
  platform::Waker waker;
  ASSERT_EQ(waker.Open(), platform::kOk);
  platform::PollItem wake;
  wake.handle = waker.handle();
  wake.wantRead = true;
  waker.Wake();
  waker.Wake();
  ASSERT_EQ(platform::Poll(&wake, 1, 1000), platform::kOk);
  EXPECT_TRUE(wake.readable);
  waker.Drain();
  ASSERT_EQ(platform::Poll(&wake, 1, 0), platform::kOk);
  EXPECT_FALSE(wake.readable) << "drained";
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

TEST(PseudoTerminalTest, LinksCarriesBytesBothWaysWithinDeadlinesAndCleansUp) {
  TempDir dir;
  std::string link = dir.File("line");
  platform::PseudoTerminal pty;
  ASSERT_EQ(pty.Open(), platform::kOk);
  ASSERT_EQ(pty.Link(link.c_str()), platform::kOk);
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), pty.devicePath());
  char buffer[16];
  size_t n = 9;
  EXPECT_EQ(pty.Read(buffer, sizeof buffer, &n, 20), platform::kTimeout);
  EXPECT_EQ(n, 0u);

  // The station's side: the linked path opened as its serial port.
  setenv("QX_COM8", link.c_str(), 1);
  platform::SerialPort station;
  ASSERT_EQ(station.Open("COM8"), platform::kOk);
  ASSERT_EQ(station.Write("*IDN?\n", 6, 1000, &n), platform::kOk);
  ASSERT_EQ(pty.Read(buffer, sizeof buffer, &n, 1000), platform::kOk);
  EXPECT_EQ(std::string(buffer, n), "*IDN?\n");
  size_t written = 0;
  ASSERT_EQ(pty.Write("ok\n", 3, &written, 1000), platform::kOk);
  EXPECT_EQ(written, 3u);
  std::string answer;
  for (int i = 0; i < 200 && answer.size() < 3; ++i) {
    ASSERT_EQ(station.Read(buffer, sizeof buffer, &n), platform::kOk);
    answer.append(buffer, n);
    if (answer.size() < 3) platform::GetClock().SleepMs(5);
  }
  EXPECT_EQ(answer, "ok\n");
  station.Close();
  unsetenv("QX_COM8");

  // A file that is not a link is never replaced.
  std::string file = dir.File("file");
  std::fclose(std::fopen(file.c_str(), "w"));
  platform::PseudoTerminal other;
  ASSERT_EQ(other.Open(), platform::kOk);
  EXPECT_EQ(other.Link(file.c_str()), platform::kBadArgument);
  pty.Close();
  EXPECT_FALSE(platform::FileExists(link.c_str())) << "its link goes with it";
  EXPECT_TRUE(platform::FileExists(file.c_str()));
}

}  // namespace
