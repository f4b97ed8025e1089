// The platform layer: endpoint texts, the replaceable clock and deadlines,
// TCP client sockets on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/settings.h"
#include "platform/socket.h"
#include "platform/status.h"

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
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener_, 2), 0);
    socklen_t len = sizeof addr;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  void TearDown() override {
    if (peer_ >= 0) close(peer_);
    if (listener_ >= 0) close(listener_);
  }
  void ConnectAndAccept(platform::TcpSocket& s) {
    ASSERT_EQ(s.Connect("127.0.0.1", port_, 1000), platform::kOk);
    peer_ = accept(listener_, nullptr, nullptr);
    ASSERT_GE(peer_, 0);
  }
  int listener_ = -1;
  int peer_ = -1;
  uint16_t port_ = 0;
};

TEST_F(TcpSocketTest, SendsAndReceives) {
  platform::TcpSocket s;
  ConnectAndAccept(s);
  ASSERT_EQ(s.SendAll("ping", 4, 1000), platform::kOk);
  char got[8] = {};
  ASSERT_EQ(recv(peer_, got, sizeof got, 0), 4);
  EXPECT_STREQ(got, "ping");
  ASSERT_EQ(send(peer_, "pong", 4, 0), 4);
  char buffer[16];
  size_t n = 0;
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
  close(peer_);
  peer_ = -1;
  EXPECT_EQ(s.Receive(buffer, sizeof buffer, &n, 1000), platform::kClosed);
  // Sending into a closed connection is a status, not a dead process.
  int status = platform::kOk;
  for (int i = 0; i < 50 && status == platform::kOk; ++i) {
    status = s.SendAll("data", 4, 100);
  }
  EXPECT_NE(status, platform::kOk);
}

TEST_F(TcpSocketTest, RefusedAndUnopenedSocketsFail) {
  close(listener_);
  listener_ = -1;
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

}  // namespace
