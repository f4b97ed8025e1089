// The bench's production test server: identification, numbers handed out
// once (also across restarts), results stored whole, injected faults, and a
// poll loop that lets finished connections go, holds at most
// kMaxTestServerClients open and stops at once whoever has stopped reading.
// The station's server link is the client.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/socket.h"
#include "platform/status.h"
#include "server/server_link.h"
#include "sim/qxts_server.h"
#include "tests/support/command_line.h"
#include "tests/support/temp_dir.h"

namespace {

const ClientIdentity kStation = {"QXTestZ5", 0.12, 0x1702, 0x5E2C91A4};
constexpr uint32_t kShortTimeoutMs = 300;
const char kIdLine[] = "ID QXTestZ5 0.12 QXTJ:00001702 PW:5E2C91A4\r\n";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool FileExists(const std::string& path) { return platform::FileExists(path.c_str()); }

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

TEST_F(TestServerTest, ASecondServerOnTheSameStateFileDoesNotStart) {
  StartServer(Options());
  qxsim::TestServer second(Options());
  std::string error;
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(std::string::npos, error.find("in use by another server")) << error;
  // The claim goes with the first server.
  server_->Stop();
  EXPECT_TRUE(second.Start(&error)) << error;
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

  qxsim::TestServerOptions options;
  cli::OptionTable table(28);
  qxsim::AddTestServerOptions(&table, &options);
  EXPECT_EQ(
      "", ParseWords(table, {"--ts-endpoint", "127.0.0.1:6001", "--ts-fault", "error:418",
                             "--ts-first-serial", "470010100", "--ts-first-mac", "027C4B003000"}));
  EXPECT_EQ("127.0.0.1", options.host);
  EXPECT_EQ(6001, options.port);
  EXPECT_EQ(418, options.faultStatus);
  EXPECT_EQ(470010100u, options.firstSerial);
  EXPECT_EQ(0x027C4B003000u, options.firstMac);
  EXPECT_NE("", ParseWords(table, {"--other"}));
  EXPECT_NE(std::string::npos, ParseWords(table, {"--ts-state"}).find("--ts-state"));
  EXPECT_NE("", ParseWords(table, {"--ts-first-mac", "27C4B003000"}));
}

TEST_F(TestServerTest, KeepsOnlyTheLatestRequestLines) {
  StartServer(Options());
  platform::TcpSocket socket = RawSocket();
  std::string lines;
  for (size_t i = 0; i < qxsim::kKeptRequests + 5; ++i)
    lines += "serial " + std::to_string(i) + "\n";
  ASSERT_EQ(0, socket.SendAll(lines.data(), lines.size(), 1000));
  lines = "last\r\n";
  ASSERT_EQ(0, socket.SendAll(lines.data(), lines.size(), 1000));
  auto lastArrived = [this] {
    std::vector<std::string> r = server_->requests();
    return !r.empty() && r.back() == "last";
  };
  for (int i = 0; i < 400 && !lastArrived(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::vector<std::string> kept = server_->requests();
  ASSERT_EQ(kept.size(), qxsim::kKeptRequests);
  EXPECT_EQ(kept.front(), "serial 6");
  EXPECT_EQ(kept.back(), "last");
}

// A client that stays silent for the idle time-out is closed; one that
// talks is kept.
TEST_F(TestServerTest, SilentConnectionsAreClosedAfterTheIdleTimeOut) {
  platform::FakeClock clock;
  qxsim::TestServerOptions options = Options();
  options.clock = qxsim::SimClock(&clock);
  options.idleTimeoutMs = 1000;
  StartServer(options);
  platform::TcpSocket silent = RawSocket();
  platform::TcpSocket talking = RawSocket();
  EXPECT_EQ("403\r\n", Raw(&talking, "serial\r\n"));
  clock.Advance(600);
  EXPECT_EQ("403\r\n", Raw(&talking, "serial\r\n"));
  clock.Advance(500);
  char c;
  size_t n = 0;
  EXPECT_EQ(platform::kClosed, silent.Receive(&c, 1, &n, 3000));
  EXPECT_EQ("403\r\n", Raw(&talking, "serial\r\n"));
  EXPECT_EQ(1u, server_->openConnections());
}

TEST_F(TestServerTest, LetsFinishedConnectionsGoAndStopsAtOnceWithAClientThatDoesNotRead) {
  StartServer(Options());
  // More clients at once than it holds open: the rest wait their turn.
  std::vector<platform::TcpSocket> many(qxsim::kMaxTestServerClients + 8);
  for (platform::TcpSocket& s : many) {
    ASSERT_EQ(0, s.Connect("127.0.0.1", server_->port(), 3000));
  }
  for (int i = 0; i < 100 && server_->openConnections() < qxsim::kMaxTestServerClients; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(server_->openConnections(), qxsim::kMaxTestServerClients);
  many.clear();
  platform::TcpSocket late = RawSocket();
  EXPECT_EQ("403\r\n", Raw(&late, "serial\r\n")) << "served once the others went";
  for (int i = 0; i < 100 && server_->openConnections() > 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(server_->openConnections(), 1u) << "finished connections are let go";

  // A client that sends and never reads until every buffer is full.
  std::string lines;
  for (int i = 0; i < 4096; ++i) lines += "serial\r\n";
  size_t sent = 1;
  for (int round = 0; round < 200 && sent != 0; ++round) {
    ASSERT_EQ(0, late.SendSome(lines.data(), lines.size(), &sent));
  }
  EXPECT_EQ(sent, 0u) << "the server kept reading a client that does not read";
  auto before = std::chrono::steady_clock::now();
  server_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
}

}  // namespace
