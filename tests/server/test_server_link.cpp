// The test server link against scripted replies and against the bench's test
// server: request bytes, reply parsing, split and stale replies, time-outs,
// closed connections, over-long messages, and the server's own behaviour.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "platform/status.h"
#include "server/server_link.h"
#include "tests/support/loopback_peer.h"
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
  explicit ScriptedServer(std::vector<Reply> replies)
      : replies_(std::move(replies)),
        peer_([this](PeerConnection& c, std::string* pending) { Answer(c, pending); }) {}
  std::string endpoint() const { return peer_.endpoint(); }
  std::string received() const { return peer_.received(); }
  int accepted() const { return peer_.connections(); }

 private:
  void Answer(PeerConnection& c, std::string* pending) {
    size_t end;
    while (!c.closing() && (end = pending->find('\n')) != std::string::npos) {
      pending->erase(0, end + 1);
      if (next_ >= replies_.size()) continue;
      const Reply& reply = replies_[next_++];
      if (reply.closeInstead) {
        c.Close();
        return;
      }
      for (const std::string& segment : reply.segments) {
        c.Send(segment);
        c.Pause(40);  // long enough for the client to see the segments apart
      }
    }
  }

  std::vector<Reply> replies_;
  size_t next_ = 0;
  LoopbackPeer peer_;  // last: its thread stops before the rest goes
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
      {"00001C03C90B00000000", 0x1C03C90B00000000ull, 20},  // leading zeros lose nothing
      {"11C03C90B00000000", UINT64_MAX, 17},  // never the low 64 bits of a longer value
      {"0x1000000000000000000000000001", UINT64_MAX, 30},
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

// Reply lines read from receives split anywhere: what belongs to an earlier
// line (its LF, the rest of a cut line, an unasked-for line cut by a
// receive) is never read as the next reply.
TEST(ReplyLineReaderTest, LinesAcrossReceives) {
  const std::string cut(499, 'a');
  const struct {
    std::vector<std::string> receives;
    std::vector<std::string> lines;
  } cases[] = {
      {{"2", "00 0x1", "2\r\n"}, {"200 0x12"}},
      {{"200\r", "\n201\n"}, {"200", "201"}},
      {{"200\r\n404 un", "asked\r\n", "201\r\n"}, {"200", "201"}},
      {{cut + "bbb\r\n", "202\n"}, {cut, "202"}},
      {{"\n"}, {""}},
  };
  for (const auto& c : cases) {
    ReplyLineReader reader;
    std::vector<std::string> lines;
    reader.Start();
    for (const std::string& r : c.receives) {
      for (size_t at = 0; at < r.size();) {
        size_t n = std::min(r.size() - at, reader.room());
        std::memcpy(reader.space(), r.data() + at, n);
        at += n;
        if (!reader.Take(n)) continue;
        lines.emplace_back(reader.line(), reader.length());
        reader.Start();
      }
    }
    EXPECT_EQ(c.lines, lines) << c.receives[0];
  }
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
    for (int i = 0; i < 200 && Requests().size() < bytes; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
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
      {"200 12G4\n", kServerNotHex, 0x1204},  // refused, though given as read
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
  // A device's text may carry line ends and separators: they go escaped.
  const char* lines[] = {"Open Quenlox : Passed : Quenlox Z5 Found", nullptr,
                         "Name: a\r\nserial\r\n;}{\x01\xE9"};
  EXPECT_EQ(0, link_->SendTestResults(lines, 3, 470010123));
  EXPECT_EQ(0, link_->SendQuickTestResults(lines, 1, 470010123));
  EXPECT_EQ(0, link_->SendTestResults(nullptr, 0, 470010123));
  CalibrationItem items[] = {{"HS 10.0V PSlope", 1.5}, {"HS 10.0V Center", -0.25}};
  EXPECT_EQ(0, link_->SendCalibration(items, 2, 0x0102030405060708ull));
  std::string expected =
      "test 0x000000001c03c90b {Open Quenlox : Passed : Quenlox Z5 Found;;"
      "Name: a\\r\\nserial\\r\\n\\x3B\\x7D\\x7B\\x01\\xE9}\r\n"
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
  std::string endpoint = "127.0.0.1:" + std::to_string(UnusedLoopbackPort());
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

}  // namespace
