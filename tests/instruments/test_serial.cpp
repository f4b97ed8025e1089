// The serial port: the platform port on a pseudo-terminal whose far end the
// test holds, and the station's Serial on top of it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "instruments/serial.h"
#include "platform/clock.h"
#include "platform/serial.h"
#include "platform/status.h"

namespace {

platform::LineSettings Line7E2() {
  platform::LineSettings s;
  s.baudRate = 9600;
  s.dataBits = 7;
  s.parity = platform::Parity::kEven;
  s.stopBits = 2;
  s.rtsCtsHandshake = true;
  s.dtrHandshake = true;
  return s;
}

// A pseudo-terminal whose master end the test holds; the slave end is what
// the station opens as COM4.
class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    char name[128];
    ASSERT_EQ(ptsname_r(master_, name, sizeof name), 0);
    slavePath_ = name;
    setenv("QX_COM4", slavePath_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("QX_COM4");
    unsetenv("QX_COM5");
    if (master_ >= 0) close(master_);
  }

  void FarEndSends(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What the station sent, as far as it has arrived within timeoutMs.
  std::string FarEndReceives(size_t want, int timeoutMs = 2000) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < want && std::chrono::steady_clock::now() < end) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
        char b[256];
        ssize_t n = read(master_, b, sizeof b);
        if (n > 0) got.append(b, static_cast<size_t>(n));
      }
    }
    return got;
  }
  // Waits (real time) until the station's side has count bytes waiting.
  bool WaitAvailable(Serial& port, uint32_t count) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    uint32_t have = 0;
    while (std::chrono::steady_clock::now() < end) {
      if (port.BytesAvailable(&have) == 0 && have >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  int master_ = -1;
  std::string slavePath_;
};

TEST_F(SerialTest, OpensWithTheLineSettingsOfTheCaller) {
  testing::internal::CaptureStdout();
  Serial port("COM4", Line7E2());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_TRUE(port.IsOpen());
  termios t{};
  ASSERT_EQ(tcgetattr(master_, &t), 0);  // the master reports the slave's line
  // A pseudo-terminal keeps no character size or parity (it reports 8N);
  // stop bits, handshake and speed it does keep.
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_iflag & INPCK, 0u) << "parity is generated, not checked";
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u) << "binary mode";
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST_F(SerialTest, WritesEveryByteUnchanged) {
  Serial port("COM4", Line7E2());
  ASSERT_TRUE(port.IsOpen());
  const char raw[] = {'A', '\n', '\r', 0, 0x7f, 'z'};
  EXPECT_EQ(port.Write(raw, sizeof raw), sizeof raw);
  EXPECT_EQ(port.WriteString("*IDN?\n"), 6u);
  EXPECT_EQ(port.WriteString(""), 0u);
  EXPECT_EQ(port.WriteString(nullptr), 0u);
  EXPECT_EQ(FarEndReceives(12), std::string(raw, sizeof raw) + "*IDN?\n");
}

TEST_F(SerialTest, TextReadStopsOneShortOfTheBufferAndTerminates) {
  Serial port("COM4", Line7E2());
  ASSERT_TRUE(port.IsOpen());
  std::string sent(300, 'x');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>('a' + i % 26);
  FarEndSends(sent);
  ASSERT_TRUE(WaitAvailable(port, 300));

  char buffer[210];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(port.Read(buffer, 200, true), 199u);
  EXPECT_EQ(buffer[199], '\0');
  EXPECT_EQ(buffer[200], '#') << "written past the count";
  EXPECT_EQ(std::string(buffer), sent.substr(0, 199));

  uint32_t waiting = 0;
  EXPECT_EQ(port.BytesAvailable(&waiting), 0);
  EXPECT_EQ(waiting, 101u);
  EXPECT_EQ(port.Read(buffer, 200, false), 101u);
  EXPECT_EQ(std::string(buffer, 101), sent.substr(199));
}

TEST_F(SerialTest, ReadOfNothingReturnsAtOnce) {
  Serial port("COM4", Line7E2());
  ASSERT_TRUE(port.IsOpen());
  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port.Read(buffer, sizeof buffer, true), 0u);
  EXPECT_EQ(port.Read(buffer + 1, sizeof buffer - 1, false), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], '#');
  // A one-byte text buffer holds only the terminator.
  FarEndSends("q");
  ASSERT_TRUE(WaitAvailable(port, 1));
  char one = '#';
  EXPECT_EQ(port.Read(&one, 1, true), 0u);
  EXPECT_EQ(one, '\0');
  EXPECT_EQ(port.Read(buffer, 0, false), 0u);
}

TEST_F(SerialTest, DrainDiscardsEverythingWaiting) {
  Serial port("COM4", Line7E2());
  ASSERT_TRUE(port.IsOpen());
  FarEndSends(std::string(1234, 'j'));
  ASSERT_TRUE(WaitAvailable(port, 1234));
  port.Drain();
  uint32_t waiting = 99;
  EXPECT_EQ(port.BytesAvailable(&waiting), 0);
  EXPECT_EQ(waiting, 0u);
  FarEndSends("after");
  ASSERT_TRUE(WaitAvailable(port, 5));
  char buffer[16];
  EXPECT_EQ(port.Read(buffer, sizeof buffer, true), 5u);
  EXPECT_STREQ(buffer, "after");
}

TEST_F(SerialTest, PortIsNotShared) {
  Serial first("COM4", Line7E2());
  ASSERT_TRUE(first.IsOpen());
  testing::internal::CaptureStdout();
  Serial second("COM4", Line7E2());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: Could not open com port");
  EXPECT_FALSE(second.IsOpen());
}

TEST_F(SerialTest, ReopensAfterClose) {
  { Serial first("COM4", Line7E2()); }
  Serial again("COM4", Line7E2());
  EXPECT_TRUE(again.IsOpen());
}

struct OpenFailure {
  const char* name;
  const char* com5;  // QX_COM5, or null to leave it unset
  bool zeroSettings;
  const char* messages;
  int status;
};

TEST_F(SerialTest, FailuresPrintTheirMessagesAndLeaveThePortClosed) {
  const OpenFailure cases[] = {
      {"COM9", nullptr, false, "ERROR: Could not open com port", platform::kNotFound},
      {"COM0", nullptr, false, "ERROR: Could not open com port", platform::kNotFound},
      {"", nullptr, false, "ERROR: Could not open com port", platform::kNotFound},
      {"COM55", nullptr, false, "ERROR: Could not open com port", platform::kNotFound},
      {"COM5", "/nonexistent/ttyQX", false, "ERROR: Could not open com port", platform::kNotFound},
      // Not a terminal: the time-out step fails, and then the line settings.
      {"COM5", "/dev/null", false,
       "ERROR: Could not set com port time-outsERROR: Could not set com port parameters",
       platform::kIoError},
      {"COM4", nullptr, true, "ERROR: Could not set com port parameters", platform::kBadArgument},
  };
  for (const OpenFailure& c : cases) {
    if (c.com5 != nullptr) {
      setenv("QX_COM5", c.com5, 1);
    } else {
      unsetenv("QX_COM5");
    }
    testing::internal::CaptureStdout();
    Serial port(c.name, c.zeroSettings ? platform::LineSettings() : Line7E2());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.messages) << c.name;
    EXPECT_FALSE(port.IsOpen()) << c.name;
    EXPECT_EQ(port.LastStatus(), c.status) << c.name;
    char buffer[8] = "keep";
    uint32_t waiting = 7;
    EXPECT_EQ(port.Write("x", 1), 0u);
    EXPECT_EQ(port.Read(buffer, sizeof buffer, false), 0u);
    EXPECT_STREQ(buffer, "keep");
    EXPECT_EQ(port.BytesAvailable(&waiting), platform::kNotOpen);
    EXPECT_EQ(waiting, 0u);
    port.Drain();
  }
  setenv("QX_COM5", "/nonexistent/ttyQX", 1);
  platform::SerialPort raw;
  EXPECT_EQ(raw.Open("COM5"), platform::kNotFound);
  EXPECT_EQ(raw.LastOsError(), ENOENT);
  EXPECT_STREQ(raw.Path(), "/nonexistent/ttyQX");
}

struct LineCase {
  uint32_t baud;
  uint8_t dataBits;
  platform::Parity parity;
  uint8_t stopBits;
  int status;
};

TEST_F(SerialTest, LineSettingsOutsideWhatALineCanDoAreRefused) {
  const LineCase cases[] = {
      {9600, 7, platform::Parity::kEven, 2, platform::kOk},
      {115200, 8, platform::Parity::kNone, 1, platform::kOk},
      {19200, 8, platform::Parity::kOdd, 1, platform::kOk},
      {0, 7, platform::Parity::kEven, 2, platform::kBadArgument},
      {12345, 7, platform::Parity::kEven, 2, platform::kBadArgument},
      {9600, 4, platform::Parity::kEven, 2, platform::kBadArgument},
      {9600, 9, platform::Parity::kEven, 2, platform::kBadArgument},
      {9600, 7, platform::Parity::kEven, 0, platform::kBadArgument},
      {9600, 7, platform::Parity::kEven, 3, platform::kBadArgument},
      {9600, 7, static_cast<platform::Parity>(7), 2, platform::kBadArgument},
  };
  platform::SerialPort port;
  ASSERT_EQ(port.Open("COM4"), platform::kOk);
  for (const LineCase& c : cases) {
    platform::LineSettings s;
    s.baudRate = c.baud;
    s.dataBits = c.dataBits;
    s.parity = c.parity;
    s.stopBits = c.stopBits;
    EXPECT_EQ(port.Configure(s), c.status) << c.baud << " " << int(c.dataBits);
  }
  termios t{};
  ASSERT_EQ(tcgetattr(master_, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200)) << "a refused record changed the line";
  EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
}

TEST_F(SerialTest, WriteToAHeldOffLineGivesUpAtItsDeadline) {
  platform::FakeClock clock;
  platform::ScopedClock use(&clock);
  platform::SerialPort port;
  ASSERT_EQ(port.Open("COM4"), platform::kOk);
  ASSERT_EQ(port.SetNonBlockingReads(), platform::kOk);
  // Nobody reads the far end: the line's buffers fill and stay full.
  std::vector<char> big(4 * 1024 * 1024, 'w');
  size_t written = 0;
  EXPECT_EQ(port.Write(big.data(), big.size(), 250, &written), platform::kTimeout);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
  EXPECT_GE(clock.TickMs(), 1000u + 250u);
}

TEST_F(SerialTest, CloseIsBoundedAndIdempotent) {
  platform::SerialPort port;
  ASSERT_EQ(port.Open("COM4"), platform::kOk);
  port.Close();
  EXPECT_FALSE(port.IsOpen());
  port.Close();
  size_t n = 1;
  EXPECT_EQ(port.Read(nullptr, 0, &n), platform::kNotOpen);
  EXPECT_EQ(port.Write("x", 1, 10, &n), platform::kNotOpen);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(port.Write("x", 1, 10, nullptr), platform::kBadArgument);
}

TEST_F(SerialTest, FarEndGoneIsNotAHang) {
  Serial port("COM4", Line7E2());
  ASSERT_TRUE(port.IsOpen());
  close(master_);
  master_ = -1;
  char buffer[32];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port.Read(buffer, sizeof buffer, true), 0u);
  EXPECT_STREQ(buffer, "");
  port.WriteString("SYST:LOC\n");
  port.Drain();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

}  // namespace
