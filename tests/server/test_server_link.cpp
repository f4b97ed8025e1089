// The test server link against scripted replies and against the bench's test
// server: request bytes, reply parsing, split and stale replies, time-outs,
// closed connections, over-long messages, and the server's own behaviour.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "platform/status.h"
#include "server/server_link.h"
#include "sim/qxts_server.h"
#include "tests/support/temp_dir.h"

namespace {

const ClientIdentity kStation = {"QXTestZ5", 0.12, 0x1702, 0x5E2C91A4};
constexpr uint32_t kShortTimeoutMs = 300;

// One reply: the segments to send, each after a short pause, or nothing but
// a closed connection.
struct Reply {
  std::vector<std::string> segments;
  bool closeInstead = false;
  bool silent = false;
};

// A server that answers the n-th request line with the n-th scripted reply
// and records every byte it receives.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::vector<Reply> replies) : replies_(std::move(replies)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    EXPECT_EQ(0, ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    EXPECT_EQ(0, ::listen(listenFd_, 4));
    socklen_t len = sizeof addr;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    EXPECT_EQ(0, ::pipe(wake_));
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedServer() {
    char b = 1;
    EXPECT_EQ(1, ::write(wake_[1], &b, 1));
    thread_.join();
    ::close(listenFd_);
    ::close(wake_[0]);
    ::close(wake_[1]);
  }
  std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  int accepted() const { return accepted_.load(); }

 private:
  bool WaitReadable(int fd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    return ::poll(fds, 2, 5000) > 0 && (fds[1].revents & POLLIN) == 0 &&
           (fds[0].revents & POLLIN) != 0;
  }
  void Run() {
    if (!WaitReadable(listenFd_)) return;
    int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) return;
    ++accepted_;
    size_t next = 0;
    std::string pending;
    while (WaitReadable(fd)) {
      char chunk[8192];
      ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.append(chunk, static_cast<size_t>(n));
      }
      pending.append(chunk, static_cast<size_t>(n));
      size_t end;
      bool closed = false;
      while ((end = pending.find('\n')) != std::string::npos && !closed) {
        pending.erase(0, end + 1);
        if (next >= replies_.size()) continue;
        const Reply& reply = replies_[next++];
        if (reply.closeInstead) {
          closed = true;
          break;
        }
        for (const std::string& segment : reply.segments) {
          ::send(fd, segment.data(), segment.size(), MSG_NOSIGNAL);
          // Long enough for the client to see the segments apart.
          ::poll(nullptr, 0, 40);
        }
      }
      if (closed) break;
    }
    ::close(fd);
  }

  std::vector<Reply> replies_;
  int listenFd_ = -1;
  int wake_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::string received_;
  std::atomic<int> accepted_{0};
};

Reply Say(std::string text) { return Reply{{std::move(text)}, false, false}; }
Reply Segments(std::vector<std::string> segments) {
  return Reply{std::move(segments), false, false};
}

const char kIdLine[] = "ID QXTestZ5 0.12 QXTJ:00001702 PW:5E2C91A4\r\n";

// ---------------------------------------------------------------------------

TEST(ParseHexTest, ReadsDigitsPrefixesAndStrayCharacters) {
  struct Case {
    const char* text;
    uint64_t value;
    size_t consumed;
  };
  const Case cases[] = {
      {" 0x000000001C03C90B\r\n", 0x1C03C90B, 19},
      {"1C03C90B", 0x1C03C90B, 8},
      {"0X1c03c90b rest", 0x1C03C90B, 10},
      {"12G4", 0x1204, 4},
      {"\t \tff\n", 0xFF, 5},
      {"Zx12", 0x12, 4},  // the prefix's first character is not checked
      {"ffffffffffffffff", 0xFFFFFFFFFFFFFFFFull, 16},
      {"", 0, 0},
      {"   ", 0, 3},
  };
  for (const Case& c : cases) {
    size_t consumed = 99;
    EXPECT_EQ(c.value, ServerLink::ParseHex(c.text, &consumed)) << c.text;
    EXPECT_EQ(c.consumed, consumed) << c.text;
  }
  EXPECT_EQ(0u, ServerLink::ParseHex(nullptr, nullptr));
}

// ---------------------------------------------------------------------------

class ServerLinkScriptTest : public ::testing::Test {
 protected:
  // Connects (the first scripted reply answers the identification line).
  void Open(std::vector<Reply> replies) {
    replies.insert(replies.begin(), Say("200\r\n"));
    server_.reset(new ScriptedServer(std::move(replies)));
    link_.reset(new ServerLink(server_->endpoint().c_str(), kShortTimeoutMs));
    ASSERT_EQ(0, link_->Connect(kStation));
  }
  // What the server received after the identification line.
  std::string Requests() {
    std::string all = server_->received();
    EXPECT_EQ(0u, all.rfind(kIdLine, 0));
    return all.substr(std::min(all.size(), sizeof kIdLine - 1));
  }
  // Waits until the server has received `bytes` after the identification line.
  std::string RequestsWhenThere(size_t bytes) {
    for (int i = 0; i < 200 && Requests().size() < bytes; ++i) ::poll(nullptr, 0, 5);
    return Requests();
  }

  std::unique_ptr<ScriptedServer> server_;
  std::unique_ptr<ServerLink> link_;
};

TEST_F(ServerLinkScriptTest, IdentificationLineIsByteExact) {
  Open({});
  EXPECT_EQ(kIdLine, server_->received());
}

TEST_F(ServerLinkScriptTest, RepliesGiveTheirStatusAndFirstValue) {
  struct Case {
    const char* reply;
    int result;
    uint64_t serial;
  };
  const Case cases[] = {
      {"200 0x000000001C03C90B\r\n", 0, 0x1C03C90B},
      {"200 1C03C90B\r\n", 0, 0x1C03C90B},
      {"200 12G4\n", 0, 0x1204},
      {"200 0xABC\r", 0, 0xABC},
      {"404\r\n", 404, 7},
      {"000\r\n", kServerStatusZero, 7},
      {"\r\n", kServerStatusZero, 7},
      {"no digits\r\n", kServerStatusZero, 7},
      {"503 0x12\r\n", 503, 7},
  };
  for (const Case& c : cases) {
    Open({Say(c.reply)});
    uint64_t serial = 7;
    EXPECT_EQ(c.result, link_->GetSerial(&serial)) << c.reply;
    EXPECT_EQ(c.serial, serial) << c.reply;
    EXPECT_EQ("serial\r\n", RequestsWhenThere(8));
  }
}

TEST_F(ServerLinkScriptTest, EveryRequestSeesA404) {
  Open({Say("404\r\n"), Say("404\r\n"), Say("404\r\n"), Say("404\r\n")});
  uint64_t a = 0, b = 0;
  EXPECT_EQ(404, link_->GetSerial(&a));
  EXPECT_EQ(404, link_->GetMac(&a));
  EXPECT_EQ(404, link_->GetSerialAndMac(&a, &b));
  EXPECT_EQ(404, link_->SendQuickTestResults(nullptr, 0, 1));
  EXPECT_TRUE(link_->connected());
}

TEST_F(ServerLinkScriptTest, SerialAndMacTakesTwoValuesOfAtMostNine) {
  Open({Say("200 1 2 3 4 5 6 7 8 9 A B\r\n"), Say("200 0x1 0x000000002\r\n")});
  ServerResponse response;
  uint64_t first = 0, second = 0;
  EXPECT_EQ(0, link_->GetSerialAndMac(&first, &second));
  EXPECT_EQ(1u, first);
  EXPECT_EQ(2u, second);
  EXPECT_EQ(0, link_->GetSerialAndMac(&first, &second));
  EXPECT_EQ(1u, first);
  EXPECT_EQ(2u, second);
  EXPECT_EQ("jn mac\r\njn mac\r\n", RequestsWhenThere(16));
}

TEST_F(ServerLinkScriptTest, AReplySplitOverSegmentsIsReadWhole) {
  Open({Segments({"200 0x000000001C", "03C90B\r\n"}), Say("200 0x0000027C4B002001\r\n")});
  uint64_t serial = 0, mac = 0;
  EXPECT_EQ(0, link_->GetSerial(&serial));
  EXPECT_EQ(0x1C03C90Bu, serial);
  // The next request gets its own reply, not the tail of the last one.
  EXPECT_EQ(0, link_->GetMac(&mac));
  EXPECT_EQ(0x027C4B002001u, mac);
}

TEST_F(ServerLinkScriptTest, AnLfArrivingAfterItsCrIsNotTheNextReply) {
  Open({Segments({"200 0x11\r", "\n"}), Say("200 0x22\r\n")});
  uint64_t value = 0;
  EXPECT_EQ(0, link_->GetSerial(&value));
  EXPECT_EQ(0x11u, value);
  EXPECT_EQ(0, link_->GetSerial(&value));
  EXPECT_EQ(0x22u, value);
}

TEST_F(ServerLinkScriptTest, LinesNobodyAskedForAreDropped) {
  Open({Say("200 0x11\r\n200 0x99\r\n"), Say("200 0x22\r\n")});
  uint64_t value = 0;
  EXPECT_EQ(0, link_->GetSerial(&value));
  EXPECT_EQ(0x11u, value);
  EXPECT_EQ(0, link_->GetSerial(&value));
  EXPECT_EQ(0x22u, value);
}

TEST_F(ServerLinkScriptTest, AReplyThatFillsTheBufferIsCutAndItsRestDropped) {
  std::string longReply = "200 0x5" + std::string(600, ' ') + "0x7\r\n";
  Open({Say(longReply), Say("200 0x33\r\n")});
  uint64_t value = 0;
  EXPECT_EQ(0, link_->GetSerial(&value));
  EXPECT_EQ(0x5u, value);
  EXPECT_EQ(0, link_->GetSerial(&value));
  EXPECT_EQ(0x33u, value);
}

TEST_F(ServerLinkScriptTest, ClosedConnectionFailsAndLeavesTheLinkUnconnected) {
  Open({Reply{{}, true, false}});
  uint64_t value = 5;
  EXPECT_EQ(kServerClosed, link_->GetSerial(&value));
  EXPECT_EQ(5u, value);
  EXPECT_FALSE(link_->connected());
  EXPECT_EQ(kServerNotConnected, link_->GetSerial(&value));
}

TEST_F(ServerLinkScriptTest, SilentServerTimesOut) {
  Open({Reply{{}, false, true}});
  uint64_t value = 5;
  EXPECT_EQ(kServerTimeout, link_->GetSerial(&value));
  EXPECT_FALSE(link_->connected());
}

TEST_F(ServerLinkScriptTest, AHalfReplyTimesOut) {
  Open({Segments({"200 0x12"})});
  uint64_t value = 5;
  EXPECT_EQ(kServerTimeout, link_->GetSerial(&value));
  EXPECT_EQ(5u, value);
}

TEST_F(ServerLinkScriptTest, ResultMessagesAreByteExact) {
  Open({Say("200\r\n"), Say("200\r\n"), Say("200\r\n"), Say("200\r\n")});
  const char* lines[] = {"Open Quenlox : Passed : Quenlox Z5 Found", nullptr, "x"};
  EXPECT_EQ(0, link_->SendTestResults(lines, 3, 470010123));
  EXPECT_EQ(0, link_->SendQuickTestResults(lines, 1, 470010123));
  EXPECT_EQ(0, link_->SendTestResults(nullptr, 0, 470010123));
  CalibrationItem items[] = {{"HS 10.0V PSlope", 1.5}, {"HS 10.0V Center", -0.25}};
  EXPECT_EQ(0, link_->SendCalibration(items, 2, 0x0102030405060708ull));
  std::string expected =
      "test 0x000000001c03c90b {Open Quenlox : Passed : Quenlox Z5 Found;;x}\r\n"
      "qtest 0x000000001c03c90b {Open Quenlox : Passed : Quenlox Z5 Found}\r\n"
      "test 0x000000001c03c90b {}\r\n"
      "cal 0x0102030405060708 {HS 10.0V PSlope:1.500000000;HS 10.0V Center:-0.250000000}\r\n";
  EXPECT_EQ(expected, RequestsWhenThere(expected.size()));
}

TEST_F(ServerLinkScriptTest, MessagesThatDoNotFitAreRefusedUnsent) {
  Open({Say("200\r\n"), Say("200\r\n")});
  // "test 0x" + 16 digits + " {" + line + "}\r\n" = 28 + line: 4095 fit.
  std::string fits(4095 - 28, 'a');
  std::string tooLong(4096 - 28, 'b');
  const char* one[] = {tooLong.c_str()};
  EXPECT_EQ(kServerTooLong, link_->SendTestResults(one, 1, 1));
  CalibrationItem huge[] = {{"X", 1e300}};
  EXPECT_EQ(kServerTooLong, link_->SendCalibration(huge, 1, 1));
  // Many short lines that add up to too much.
  std::vector<const char*> many(1000, "abcd");
  EXPECT_EQ(kServerTooLong, link_->SendQuickTestResults(many.data(), 1000, 1));
  EXPECT_TRUE(link_->connected());
  one[0] = fits.c_str();
  EXPECT_EQ(0, link_->SendTestResults(one, 1, 1));
  std::string expected = "test 0x0000000000000001 {" + fits + "}\r\n";
  EXPECT_EQ(expected, RequestsWhenThere(expected.size()));
}

TEST(ServerLinkConnectTest, IdentityThatDoesNotFitIsRefusedBeforeConnecting) {
  ScriptedServer server({Say("200\r\n")});
  ServerLink link(server.endpoint().c_str(), kShortTimeoutMs);
  std::string name(480, 'N');
  ClientIdentity identity = kStation;
  identity.name = name.c_str();
  EXPECT_EQ(kServerTooLong, link.Connect(identity));
  EXPECT_FALSE(link.connected());
  EXPECT_EQ(0, server.accepted());
  // 499 characters just fit: "ID " + name + " 0.12 QXTJ:00001702 PW:5E2C91A4\r\n".
  std::string fitting(499 - 3 - 33, 'N');
  identity.name = fitting.c_str();
  EXPECT_EQ(0, link.Connect(identity));
}

TEST(ServerLinkConnectTest, NoServerMeansNotConnected) {
  // A port that was free a moment ago: nothing listens there now.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  std::string endpoint = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  ServerLink link(endpoint.c_str(), kShortTimeoutMs);
  EXPECT_EQ(kServerNotConnected, link.Connect(kStation));
  uint64_t value = 0;
  EXPECT_EQ(kServerNotConnected, link.GetSerial(&value));
  EXPECT_EQ(kServerNotConnected, link.SendTestResults(nullptr, 0, 0));
  ServerResponse response;
  EXPECT_EQ(kServerNotConnected, link.ReadResponse(&response));

  ServerLink badEndpoint("not an endpoint:", kShortTimeoutMs);
  EXPECT_EQ(kServerNotConnected, badEndpoint.Connect(kStation));
}

TEST(ServerLinkConnectTest, NullArgumentsAreRefused) {
  ServerLink link("127.0.0.1:1", kShortTimeoutMs);
  uint64_t value = 0;
  EXPECT_EQ(kServerBadArgument, link.GetSerial(nullptr));
  EXPECT_EQ(kServerBadArgument, link.GetMac(nullptr));
  EXPECT_EQ(kServerBadArgument, link.GetSerialAndMac(&value, nullptr));
  EXPECT_EQ(kServerBadArgument, link.SendTestResults(nullptr, 2, 0));
  EXPECT_EQ(kServerBadArgument, link.SendCalibration(nullptr, 1, 0));
  EXPECT_EQ(kServerBadArgument, link.ReadResponse(nullptr));
}

TEST(ServerLinkConnectTest, RefusedIdentificationGivesTheStatusAndDisconnects) {
  ScriptedServer server({Say("401\r\n")});
  ServerLink link(server.endpoint().c_str(), kShortTimeoutMs);
  EXPECT_EQ(401, link.Connect(kStation));
  EXPECT_FALSE(link.connected());
}

// ---------------------------------------------------------------------------

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

class TestServerTest : public ::testing::Test {
 protected:
  qxsim::TestServerOptions Options() {
    qxsim::TestServerOptions o;
    o.stateFile = dir_.File("state");
    o.resultsFile = dir_.File("results");
    return o;
  }
  void StartServer(qxsim::TestServerOptions options) {
    server_.reset(new qxsim::TestServer(options));
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }
  std::unique_ptr<ServerLink> Connected() {
    std::unique_ptr<ServerLink> link(new ServerLink(server_->endpoint().c_str(), kShortTimeoutMs));
    EXPECT_EQ(0, link->Connect(kStation));
    return link;
  }
  // One raw request line on a socket of its own; the reply line, or "".
  std::string Raw(platform::TcpSocket* socket, const std::string& line) {
    EXPECT_EQ(0, socket->SendAll(line.data(), line.size(), 1000));
    std::string reply;
    char c;
    size_t n = 0;
    while (reply.find('\n') == std::string::npos &&
           socket->Receive(&c, 1, &n, 1000) == platform::kOk && n == 1) {
      reply += c;
    }
    return reply;
  }
  platform::TcpSocket RawSocket() {
    platform::TcpSocket socket;
    EXPECT_EQ(0, socket.Connect("127.0.0.1", server_->port(), 1000));
    return socket;
  }

  TempDir dir_;
  std::unique_ptr<qxsim::TestServer> server_;
};

TEST_F(TestServerTest, AcceptsOnlyTheRightIdentification) {
  StartServer(Options());
  struct Case {
    ClientIdentity identity;
    int result;
  };
  const Case cases[] = {
      {kStation, 0},
      {{"QXTestZ4", 0.12, 0x1702, 0x5E2C91A4}, 401},
      {{"QXTestZ5", 0.13, 0x1702, 0x5E2C91A4}, 401},
      {{"QXTestZ5", 0.12, 0x1703, 0x5E2C91A4}, 401},
      {{"QXTestZ5", 0.12, 0x1702, 0x5E2C91A5}, 401},
  };
  for (const Case& c : cases) {
    ServerLink link(server_->endpoint().c_str(), kShortTimeoutMs);
    EXPECT_EQ(c.result, link.Connect(c.identity)) << c.identity.name << " " << c.identity.version;
  }
}

TEST_F(TestServerTest, RequestsBeforeIdentificationAndUnknownOnesAreRefused) {
  StartServer(Options());
  platform::TcpSocket socket = RawSocket();
  EXPECT_EQ("403\r\n", Raw(&socket, "serial\r\n"));
  EXPECT_EQ("200\r\n", Raw(&socket, kIdLine));
  EXPECT_EQ("400\r\n", Raw(&socket, "coffee\r\n"));
  EXPECT_EQ("400\r\n", Raw(&socket, "test 0x12 {a}\r\n"));
  EXPECT_EQ("400\r\n", Raw(&socket, "qtest 0x000000001c03c90b a}\r\n"));
  EXPECT_TRUE(server_->results().empty());
  EXPECT_EQ(470010002u, server_->nextSerial());
}

TEST_F(TestServerTest, HandsOutEachNumberOnce) {
  StartServer(Options());
  auto link = Connected();
  uint64_t serial = 0, mac = 0;
  EXPECT_EQ(0, link->GetSerial(&serial));
  EXPECT_EQ(470010002u, serial);
  EXPECT_EQ(0, link->GetSerial(&serial));
  EXPECT_EQ(470010003u, serial);
  EXPECT_EQ(0, link->GetMac(&mac));
  EXPECT_EQ(0x027C4B002001u, mac);
  EXPECT_EQ(0, link->GetSerialAndMac(&serial, &mac));
  EXPECT_EQ(470010004u, serial);
  EXPECT_EQ(0x027C4B002002u, mac);
  // A second station connected at the same time gets numbers of its own.
  auto other = Connected();
  EXPECT_EQ(0, other->GetSerial(&serial));
  EXPECT_EQ(470010005u, serial);
}

TEST_F(TestServerTest, NumbersContinueAcrossRestartsThroughTheStateFile) {
  StartServer(Options());
  uint64_t serial = 0, mac = 0;
  {
    auto link = Connected();
    EXPECT_EQ(0, link->GetSerial(&serial));
    EXPECT_EQ(0, link->GetMac(&mac));
  }
  server_->Stop();
  EXPECT_EQ("next_serial 470010003\nnext_mac 027C4B002002\n", ReadFile(dir_.File("state")));
  EXPECT_FALSE(FileExists(dir_.File("state.tmp")));

  StartServer(Options());
  auto link = Connected();
  EXPECT_EQ(0, link->GetSerial(&serial));
  EXPECT_EQ(470010003u, serial);
  EXPECT_EQ(0, link->GetMac(&mac));
  EXPECT_EQ(0x027C4B002002u, mac);
}

TEST_F(TestServerTest, ADamagedStateFileStopsTheStart) {
  std::ofstream(dir_.File("state")) << "next_serial banana\n";
  qxsim::TestServer server(Options());
  std::string error;
  EXPECT_FALSE(server.Start(&error));
  EXPECT_NE(std::string::npos, error.find("damaged")) << error;
}

TEST_F(TestServerTest, UsedUpRangeIsRefused) {
  qxsim::TestServerOptions options = Options();
  options.lastSerial = options.firstSerial;
  StartServer(options);
  auto link = Connected();
  uint64_t serial = 0;
  EXPECT_EQ(0, link->GetSerial(&serial));
  EXPECT_EQ(503, link->GetSerial(&serial));
  EXPECT_EQ(470010002u, serial);
}

TEST_F(TestServerTest, StoresEveryResultMessageWholeOnItsOwnLine) {
  StartServer(Options());
  auto link = Connected();
  const char* lines[] = {"Open Quenlox : Passed : Quenlox Z5 Found", "B : Error : x"};
  CalibrationItem items[] = {{"HS 10.0V PSlope", 1.5}};
  EXPECT_EQ(0, link->SendTestResults(lines, 2, 470010123));
  EXPECT_EQ(0, link->SendQuickTestResults(lines, 1, 470010123));
  EXPECT_EQ(0, link->SendCalibration(items, 1, 470010123));
  // Flushed before the reply: the file holds the lines as soon as 200 arrived.
  EXPECT_EQ(
      "test 0x000000001c03c90b {Open Quenlox : Passed : Quenlox Z5 Found;B : Error : x}\n"
      "qtest 0x000000001c03c90b {Open Quenlox : Passed : Quenlox Z5 Found}\n"
      "cal 0x000000001c03c90b {HS 10.0V PSlope:1.500000000}\n",
      ReadFile(dir_.File("results")));
  EXPECT_EQ(3u, server_->results().size());
}

TEST_F(TestServerTest, FaultsGiveTheirCodes) {
  StartServer(Options());
  uint64_t serial = 0;
  {
    server_->SetFault(qxsim::ServerFault::kErrorStatus, "serial", 503);
    auto link = Connected();
    EXPECT_EQ(503, link->GetSerial(&serial));
    EXPECT_EQ(470010002u, server_->nextSerial());  // nothing handed out
    uint64_t mac = 0;
    EXPECT_EQ(0, link->GetMac(&mac));  // the fault is for "serial" only
  }
  {
    server_->SetFault(qxsim::ServerFault::kClose, "serial");
    auto link = Connected();
    EXPECT_EQ(kServerClosed, link->GetSerial(&serial));
    EXPECT_FALSE(link->connected());
  }
  {
    server_->SetFault(qxsim::ServerFault::kSilent, "qtest");
    auto link = Connected();
    EXPECT_EQ(kServerTimeout, link->SendQuickTestResults(nullptr, 0, 1));
    EXPECT_TRUE(server_->results().empty());
  }
  {
    server_->SetFault(qxsim::ServerFault::kErrorStatus, "ID", 401);
    ServerLink link(server_->endpoint().c_str(), kShortTimeoutMs);
    EXPECT_EQ(401, link.Connect(kStation));
  }
  {
    server_->SetFault(qxsim::ServerFault::kSplitReply);
    auto link = Connected();
    EXPECT_EQ(0, link->GetSerial(&serial));
    EXPECT_EQ(470010002u, serial);
    EXPECT_EQ(0, link->GetSerial(&serial));
    EXPECT_EQ(470010003u, serial);
  }
}

TEST(TestServerOptionsTest, ParsesFaultsAndCommandLineOptions) {
  struct FaultCase {
    const char* text;
    bool ok;
    qxsim::ServerFault fault;
    int status;
  };
  const FaultCase faults[] = {
      {"none", true, qxsim::ServerFault::kNone, 500},
      {"error", true, qxsim::ServerFault::kErrorStatus, 500},
      {"error:404", true, qxsim::ServerFault::kErrorStatus, 404},
      {"close", true, qxsim::ServerFault::kClose, 500},
      {"split", true, qxsim::ServerFault::kSplitReply, 500},
      {"silent", true, qxsim::ServerFault::kSilent, 500},
      {"error:200", false, qxsim::ServerFault::kNone, 500},
      {"error:4044", false, qxsim::ServerFault::kNone, 500},
      {"loud", false, qxsim::ServerFault::kNone, 500},
  };
  for (const FaultCase& c : faults) {
    qxsim::ServerFault fault = qxsim::ServerFault::kNone;
    int status = 500;
    EXPECT_EQ(c.ok, qxsim::ParseServerFault(c.text, &fault, &status)) << c.text;
    if (c.ok) {
      EXPECT_EQ(c.fault, fault) << c.text;
      EXPECT_EQ(c.status, status) << c.text;
    }
  }

  const char* args[] = {"qxsim",        "--ts-endpoint",     "127.0.0.1:6001", "--ts-fault",
                        "error:418",    "--ts-first-serial", "470010100",      "--ts-first-mac",
                        "027C4B003000", "--other",           "--ts-state"};
  char** argv = const_cast<char**>(args);
  int argc = 11;
  qxsim::TestServerOptions options;
  std::string error;
  EXPECT_EQ(2, qxsim::ParseTestServerOption(argc, argv, 1, &options, &error));
  EXPECT_EQ("127.0.0.1", options.host);
  EXPECT_EQ(6001, options.port);
  EXPECT_EQ(2, qxsim::ParseTestServerOption(argc, argv, 3, &options, &error));
  EXPECT_EQ(418, options.faultStatus);
  EXPECT_EQ(2, qxsim::ParseTestServerOption(argc, argv, 5, &options, &error));
  EXPECT_EQ(470010100u, options.firstSerial);
  EXPECT_EQ(2, qxsim::ParseTestServerOption(argc, argv, 7, &options, &error));
  EXPECT_EQ(0x027C4B003000u, options.firstMac);
  EXPECT_EQ(0, qxsim::ParseTestServerOption(argc, argv, 9, &options, &error));
  EXPECT_EQ(-1, qxsim::ParseTestServerOption(argc, argv, 10, &options, &error));
  EXPECT_NE(std::string::npos, error.find("--ts-state"));
  const char* bad[] = {"qxsim", "--ts-first-mac", "27C4B003000"};
  EXPECT_EQ(-1, qxsim::ParseTestServerOption(3, const_cast<char**>(bad), 1, &options, &error));
}

}  // namespace
