// The device-access library's Modbus TCP transport against a scripted peer on
// loopback: open texts, reply checks field by field, time-outs, lost links.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/byte_order.h"
#include "platform/settings.h"
#include "platform/socket.h"
#include "qxm/mbap.h"
#include "qxm/qxm.h"
#include "qxm/qxm_backend.h"
#include "qxm/qxm_errors.h"
#include "tests/support/loopback_peer.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Accepts connections one after another and hands each request to a script
// that decides the raw bytes to answer (empty: answer nothing).
class ScriptedPeer {
 public:
  using Script = std::function<Bytes(const Bytes& request, int index)>;

  explicit ScriptedPeer(Script script)
      : script_(std::move(script)),
        peer_([this](PeerConnection& c, std::string* pending) { Answer(c, pending); }) {}
  int port() const { return peer_.port(); }
  std::string endpoint() const { return peer_.endpoint(); }
  int connections() const { return peer_.connections(); }
  int requests() const { return requests_; }
  void CloseAfterReply() { closeAfterReply_ = true; }
  // Sends each reply a byte at a time, as a slow link would deliver it.
  void Trickle() { trickle_ = true; }

 private:
  // What one read brought is one request.
  void Answer(PeerConnection& c, std::string* pending) {
    Bytes request(pending->begin(), pending->end());
    pending->clear();
    Bytes reply = script_(request, requests_++);
    std::string bytes(reply.begin(), reply.end());
    if (trickle_) {
      c.Trickle(bytes, 2);
    } else if (!bytes.empty()) {
      c.Send(bytes);
    }
    if (closeAfterReply_) c.Close();
  }

  Script script_;
  std::atomic<int> requests_{0};
  std::atomic<bool> closeAfterReply_{false};
  std::atomic<bool> trickle_{false};
  LoopbackPeer peer_;  // last: its thread stops before the rest goes
};

// A well-formed reply to the request carrying data bytes after the function code.
Bytes Reply(const Bytes& request, const Bytes& data) {
  Bytes r = {request[0], request[1], 0, 0, 0, 0, request[6], kFeedbackFunction};
  for (unsigned char c : data) r.push_back(c);
  PutU16BE(r.data(), r.size(), 4, static_cast<uint16_t>(r.size() - 6));
  return r;
}

// The request of one Read frame: 60000, 2 registers.
void FillReadRequest(unsigned char* buffer) {
  std::memset(buffer, 0, QXM_BUFFER_SIZE);
  const unsigned char request[] = {0, 0, 0, 0, 0, 6, 0, 0x4C, 0x00, 0xEA, 0x60, 0x02};
  std::memcpy(buffer, request, sizeof request);
}

int OpenTcp(const std::string& endpoint, int* handle) {
  return QXM_Open("z5 device type", "tcp", endpoint.c_str(), handle);
}

class QxmTransportTest : public ::testing::Test {
 protected:
  void SetUp() override { QxmSetReplyTimeoutMs(300); }
  void TearDown() override {
    if (handle_ != 0) QXM_Close(handle_);
    QxmSetReplyTimeoutMs(3000);
    platform::SetSetting("QXM_USB_ENDPOINT", nullptr);
  }
  // Opens against the peer and runs one read exchange; returns its code.
  int ExchangeWith(ScriptedPeer& peer, unsigned char* buffer, int* errorAddress) {
    EXPECT_EQ(OpenTcp(peer.endpoint(), &handle_), QXM_OK);
    FillReadRequest(buffer);
    return QXM_MBFBComm(handle_, 0, buffer, errorAddress);
  }
  int handle_ = 0;
};

TEST_F(QxmTransportTest, OpenRefusesTextsItDoesNotKnow) {
  struct Case {
    const char* deviceType;
    const char* connection;
    const char* identifier;
    int code;
  } cases[] = {
      {"t7 device type", "usb", "any identifier", QXM_ERR_UNKNOWN_DEVICE_TYPE},
      {"z5 device type", "bluetooth", "any identifier", QXM_ERR_UNKNOWN_CONNECTION},
      {"z5 device type", "tcp", "device.example", QXM_ERR_BAD_IDENTIFIER},
      {"z5 device type", "tcp", "127.0.0", QXM_ERR_BAD_IDENTIFIER},
      {"z5 device type", "tcp", "127.0.0.256", QXM_ERR_BAD_IDENTIFIER},
      {"z5 device type", "tcp", "127.0.0.1:70000", QXM_ERR_BAD_IDENTIFIER},
      {"z5 device type", "tcp", "127.0.0.1:", QXM_ERR_BAD_IDENTIFIER},
      {"z5 device type", "tcp", "", QXM_ERR_BAD_IDENTIFIER},
  };
  for (const Case& c : cases) {
    int handle = 0;
    EXPECT_EQ(QXM_Open(c.deviceType, c.connection, c.identifier, &handle), c.code)
        << c.deviceType << " / " << c.connection << " / " << c.identifier;
    EXPECT_EQ(handle, 0);
  }
  int handle = 0;
  EXPECT_EQ(QXM_Open(nullptr, "usb", "x", &handle), QXM_ERR_BAD_ARGUMENT);
  EXPECT_EQ(QXM_Open("z5 device type", "usb", "x", nullptr), QXM_ERR_BAD_ARGUMENT);
}

TEST_F(QxmTransportTest, OpenReportsARefusedConnection) {
  std::string endpoint = "127.0.0.1:" + std::to_string(UnusedLoopbackPort());
  EXPECT_EQ(OpenTcp(endpoint, &handle_), QXM_ERR_REFUSED);
  platform::SetSetting("QXM_USB_ENDPOINT", endpoint.c_str());
  EXPECT_EQ(QXM_Open("z5 device type", "usb connection", "any identifier", &handle_),
            QXM_ERR_REFUSED);
}

TEST_F(QxmTransportTest, EachOpenDeviceHoldsTheSocketLibraryUntilItCloses) {
  ScriptedPeer peer([](const Bytes& r, int) { return Reply(r, {0x41, 0x88, 0, 0}); });
  int before = platform::SocketsStarted();
  ASSERT_EQ(OpenTcp(peer.endpoint(), &handle_), QXM_OK);
  EXPECT_EQ(platform::SocketsStarted(), before + 1);
  QXM_Close(handle_);
  handle_ = 0;
  EXPECT_EQ(platform::SocketsStarted(), before);
  std::string refused = "127.0.0.1:" + std::to_string(UnusedLoopbackPort());
  EXPECT_EQ(OpenTcp(refused, &handle_), QXM_ERR_REFUSED);
  EXPECT_EQ(platform::SocketsStarted(), before);
}

TEST_F(QxmTransportTest, UsbConnectsToTheConfiguredEndpoint) {
  ScriptedPeer peer([](const Bytes& r, int) { return Reply(r, {0x41, 0x88, 0, 0}); });
  platform::SetSetting("QXM_USB_ENDPOINT", peer.endpoint().c_str());
  ASSERT_EQ(QXM_Open("z5 device type", "usb", "any identifier", &handle_), QXM_OK);
  EXPECT_GT(handle_, 0);
  unsigned char buffer[QXM_BUFFER_SIZE];
  FillReadRequest(buffer);
  int errorAddress = -1;
  ASSERT_EQ(QXM_MBFBComm(handle_, 0, buffer, &errorAddress), QXM_OK);
  EXPECT_EQ(errorAddress, 0);
  const unsigned char expected[] = {0, 0, 0, 0, 0, 6, 0, 0x4C, 0x41, 0x88, 0, 0};
  EXPECT_EQ(0, std::memcmp(buffer, expected, sizeof expected));
}

TEST_F(QxmTransportTest, EachRequestCarriesItsOwnTransactionIdentifier) {
  std::vector<uint16_t> seen;
  ScriptedPeer peer([&](const Bytes& r, int) {
    seen.push_back(GetU16BE(r.data(), r.size(), 0));
    return Reply(r, {1, 2, 3, 4});
  });
  unsigned char buffer[QXM_BUFFER_SIZE];
  ASSERT_EQ(ExchangeWith(peer, buffer, nullptr), QXM_OK);
  FillReadRequest(buffer);
  ASSERT_EQ(QXM_MBFBComm(handle_, 0, buffer, nullptr), QXM_OK);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[0], seen[1]);
}

TEST_F(QxmTransportTest, RejectsEachBadReplyHeaderField) {
  struct Case {
    const char* what;
    std::function<void(Bytes&)> spoil;
    int code;
  } cases[] = {
      {"transaction", [](Bytes& b) { b[1] ^= 0x01; }, QXM_ERR_BAD_TRANSACTION},
      {"transaction high byte", [](Bytes& b) { b[0] ^= 0x80; }, QXM_ERR_BAD_TRANSACTION},
      {"protocol low byte", [](Bytes& b) { b[3] = 1; }, QXM_ERR_BAD_PROTOCOL},
      {"protocol high byte", [](Bytes& b) { b[2] = 1; }, QXM_ERR_BAD_PROTOCOL},
      {"length too large", [](Bytes& b) { PutU16BE(b.data(), b.size(), 4, 1600); },
       QXM_ERR_BAD_LENGTH},
      {"length too small", [](Bytes& b) { PutU16BE(b.data(), b.size(), 4, 1); },
       QXM_ERR_BAD_LENGTH},
      {"unit", [](Bytes& b) { b[6] = 9; }, QXM_ERR_BAD_UNIT},
      {"function", [](Bytes& b) { b[7] = 3; }, QXM_ERR_BAD_FUNCTION},
  };
  for (const Case& c : cases) {
    ScriptedPeer peer([&](const Bytes& r, int) {
      Bytes reply = Reply(r, {0x41, 0x88, 0, 0});
      c.spoil(reply);
      return reply;
    });
    unsigned char buffer[QXM_BUFFER_SIZE];
    EXPECT_EQ(ExchangeWith(peer, buffer, nullptr), c.code) << c.what;
    QXM_Close(handle_);
    handle_ = 0;
  }
}

TEST_F(QxmTransportTest, ExceptionReplyBecomesADeviceCodeWithItsDetail) {
  ScriptedPeer peer([](const Bytes& r, int) {
    Bytes reply = Reply(r, {0x02, 0xF1, 0x6C});  // exception 2 at register 61804
    reply[7] = kFeedbackFunction | kExceptionFlag;
    return reply;
  });
  unsigned char buffer[QXM_BUFFER_SIZE];
  int errorAddress = 0;
  EXPECT_EQ(ExchangeWith(peer, buffer, &errorAddress), QXM_ERR_DEVICE_EXCEPTION_BASE + 2);
  EXPECT_EQ(errorAddress, 61804);
  // The link stays in step after an exception: the next request goes on the
  // same connection.
  FillReadRequest(buffer);
  EXPECT_EQ(QXM_MBFBComm(handle_, 0, buffer, &errorAddress), QXM_ERR_DEVICE_EXCEPTION_BASE + 2);
  EXPECT_EQ(peer.connections(), 1);
}

TEST_F(QxmTransportTest, SilentDeviceTimesOutAndALateReplyIsNeverTaken) {
  ScriptedPeer peer([](const Bytes& r, int index) {
    if (index == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      return Reply(r, {0xDE, 0xAD, 0xBE, 0xEF});  // too late for the first request
    }
    return Reply(r, {0x00, 0x00, 0x00, 0x11});
  });
  unsigned char buffer[QXM_BUFFER_SIZE];
  EXPECT_EQ(ExchangeWith(peer, buffer, nullptr), QXM_ERR_REPLY_TIMEOUT);
  FillReadRequest(buffer);
  ASSERT_EQ(QXM_MBFBComm(handle_, 0, buffer, nullptr), QXM_OK);
  EXPECT_EQ(buffer[11], 0x11);
  EXPECT_EQ(peer.connections(), 2);
}

TEST_F(QxmTransportTest, ReplyArrivingInPiecesIsAssembled) {
  ScriptedPeer pieces([](const Bytes& r, int) { return Reply(r, {0x12, 0x34, 0xAB, 0xCD}); });
  pieces.Trickle();
  unsigned char buffer[QXM_BUFFER_SIZE];
  EXPECT_EQ(ExchangeWith(pieces, buffer, nullptr), QXM_OK);
  EXPECT_EQ(GetU16BE(buffer, sizeof buffer, 8), 0x1234);
  EXPECT_EQ(GetU16BE(buffer, sizeof buffer, 10), 0xABCD);
}

TEST_F(QxmTransportTest, BytesBeyondTheReplyAreNeverTakenForTheNextOne) {
  // The first answer carries, in the same read, a forged reply to the next
  // transaction; the next request must get its own answer.
  ScriptedPeer peer([](const Bytes& r, int index) {
    Bytes reply = Reply(r, {0, 0, 0, static_cast<unsigned char>(index)});
    if (index == 0) {
      Bytes forged = Reply(r, {0xDE, 0xAD, 0xBE, 0xEF});
      PutU16BE(forged.data(), forged.size(), 0, GetU16BE(r.data(), r.size(), 0) + 1);
      reply.insert(reply.end(), forged.begin(), forged.end());
    }
    return reply;
  });
  unsigned char buffer[QXM_BUFFER_SIZE];
  ASSERT_EQ(ExchangeWith(peer, buffer, nullptr), QXM_OK);
  EXPECT_EQ(buffer[11], 0);
  FillReadRequest(buffer);
  ASSERT_EQ(QXM_MBFBComm(handle_, 0, buffer, nullptr), QXM_OK);
  EXPECT_EQ(GetU16BE(buffer, sizeof buffer, 8), 0);
  EXPECT_EQ(buffer[11], 1);
}

TEST_F(QxmTransportTest, DroppedConnectionIsReported) {
  ScriptedPeer peer([](const Bytes&, int) { return Bytes(); });
  peer.CloseAfterReply();
  unsigned char buffer[QXM_BUFFER_SIZE];
  EXPECT_EQ(ExchangeWith(peer, buffer, nullptr), QXM_ERR_CONNECTION_LOST);
}

TEST_F(QxmTransportTest, TruncatedReplyTimesOut) {
  ScriptedPeer peer([](const Bytes& r, int) {
    Bytes reply = Reply(r, {1, 2, 3, 4});
    reply.resize(reply.size() - 2);  // length field promises two bytes more
    return reply;
  });
  unsigned char buffer[QXM_BUFFER_SIZE];
  EXPECT_EQ(ExchangeWith(peer, buffer, nullptr), QXM_ERR_REPLY_TIMEOUT);
}

TEST_F(QxmTransportTest, RequestsThatDoNotFitAreRefusedUnsent) {
  ScriptedPeer peer([](const Bytes& r, int) { return Reply(r, {}); });
  ASSERT_EQ(OpenTcp(peer.endpoint(), &handle_), QXM_OK);
  unsigned char buffer[QXM_BUFFER_SIZE] = {};
  PutU16BE(buffer, sizeof buffer, 4, QXM_BUFFER_SIZE - 5);  // one byte past the buffer
  EXPECT_EQ(QXM_MBFBComm(handle_, 0, buffer, nullptr), QXM_ERR_REQUEST_TOO_LONG);
  PutU16BE(buffer, sizeof buffer, 4, 1);  // no room for a function code
  EXPECT_EQ(QXM_MBFBComm(handle_, 0, buffer, nullptr), QXM_ERR_REQUEST_TOO_LONG);
  EXPECT_EQ(peer.requests(), 0);
}

TEST_F(QxmTransportTest, HandlesAreCheckedAndCloseEndsThem) {
  unsigned char buffer[QXM_BUFFER_SIZE];
  FillReadRequest(buffer);
  EXPECT_EQ(QXM_MBFBComm(0, 0, buffer, nullptr), QXM_ERR_INVALID_HANDLE);
  EXPECT_EQ(QXM_MBFBComm(-5, 0, buffer, nullptr), QXM_ERR_INVALID_HANDLE);
  EXPECT_EQ(QXM_MBFBComm(1 << 20, 0, buffer, nullptr), QXM_ERR_INVALID_HANDLE);
  ScriptedPeer peer([](const Bytes& r, int) { return Reply(r, {0, 0, 0, 0}); });
  ASSERT_EQ(OpenTcp(peer.endpoint(), &handle_), QXM_OK);
  EXPECT_EQ(QXM_MBFBComm(handle_, 0, nullptr, nullptr), QXM_ERR_BAD_ARGUMENT);
  EXPECT_EQ(QXM_Close(handle_), QXM_OK);
  EXPECT_EQ(QXM_MBFBComm(handle_, 0, buffer, nullptr), QXM_ERR_INVALID_HANDLE);
  EXPECT_EQ(QXM_Close(handle_), QXM_ERR_INVALID_HANDLE);
  handle_ = 0;
}

TEST(QxmErrorText, EveryCodeHasItsOwnText) {
  const int codes[] = {QXM_ERR_INVALID_HANDLE,
                       QXM_ERR_BAD_ARGUMENT,
                       QXM_ERR_UNKNOWN_DEVICE_TYPE,
                       QXM_ERR_UNKNOWN_CONNECTION,
                       QXM_ERR_BAD_IDENTIFIER,
                       QXM_ERR_NO_ANSWER,
                       QXM_ERR_REFUSED,
                       QXM_ERR_TOO_MANY_HANDLES,
                       QXM_ERR_REQUEST_TOO_LONG,
                       QXM_ERR_SEND_FAILED,
                       QXM_ERR_REPLY_TIMEOUT,
                       QXM_ERR_CONNECTION_LOST,
                       QXM_ERR_BAD_TRANSACTION,
                       QXM_ERR_BAD_PROTOCOL,
                       QXM_ERR_BAD_LENGTH,
                       QXM_ERR_BAD_FUNCTION,
                       QXM_ERR_BAD_UNIT,
                       QXM_ERR_NO_SOCKETS};
  std::vector<std::string> seen;
  for (int code : codes) {
    std::string text = QXM_ErrorToString(code);
    EXPECT_NE(text, "unknown code") << code;
    for (const std::string& s : seen) EXPECT_NE(s, text) << code;
    seen.push_back(text);
    // Library failures must not look like device errors that ask for a
    // follow-up read of the error registers.
    EXPECT_NE(code & 0xF, 3) << code;
    EXPECT_NE(code, 1211);
  }
  EXPECT_STREQ(QXM_ErrorToString(QXM_ERR_DEVICE_EXCEPTION_BASE + 2), "device exception");
  EXPECT_STREQ(QXM_ErrorToString(42), "unknown code");
}

}  // namespace
