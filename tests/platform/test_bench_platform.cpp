// The platform pieces that only the bench uses, POSIX only: Poll and the
// waker for servers that serve many connections from one thread, and the
// pseudo-terminal that stands in for the meter's serial line.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/host/listener.h"
#include "platform/host/poll.h"
#include "platform/host/pty.h"
#include "platform/serial.h"
#include "platform/settings.h"
#include "platform/socket.h"
#include "platform/status.h"
#include "tests/support/temp_dir.h"

namespace {

// A server's thread that waits in a read is freed by Shutdown from another
// thread; the handle stays until Close.
TEST(TcpShutdownTest, EndsAReadWaitingOnAnotherThread) {
  platform::TcpListener listener;
  ASSERT_EQ(listener.Listen("127.0.0.1", 0), platform::kOk);
  platform::TcpSocket client;
  ASSERT_EQ(client.Connect("127.0.0.1", listener.port(), 1000), platform::kOk);
  platform::TcpSocket served;
  ASSERT_EQ(listener.Accept(&served, 1000), platform::kOk);
  int status = platform::kOk;
  uint64_t start = platform::MonotonicUs();
  std::thread reader([&] {
    char buffer[8];
    size_t n = 0;
    status = served.Receive(buffer, sizeof buffer, &n, 10000);
  });
  platform::SystemClock().SleepMs(50);
  served.Shutdown();
  reader.join();
  EXPECT_EQ(status, platform::kClosed);
  EXPECT_LT(platform::MonotonicUs() - start, 5000000u);
  EXPECT_TRUE(served.IsOpen());
  char byte = 0;
  size_t n = 0;
  EXPECT_EQ(client.Receive(&byte, 1, &n, 1000), platform::kClosed) << "the peer sees the end";
}

TEST(PollTest, TellsWhichSideIsReadyAndTheWakerWakesIt) {
  platform::TcpListener listener;
  ASSERT_EQ(listener.Listen("127.0.0.1", 0), platform::kOk);
  platform::TcpSocket client;
  platform::TcpSocket peer;
  ASSERT_EQ(client.Connect("127.0.0.1", listener.port(), 1000), platform::kOk);
  ASSERT_EQ(listener.Accept(&peer, 1000), platform::kOk);
  platform::PollItem item;
  item.handle = peer.handle();
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
  platform::SetSetting("QX_COM8", link.c_str());
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
  platform::SetSetting("QX_COM8", nullptr);

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
