// The virtual device over real loopback sockets, spoken to by a small raw
// Modbus TCP client of this file's own (the station's library is not used):
// function-76 round trips, identity, flash semantics and refusals, the
// configuration page behind the identity registers, restarts, every link
// fault, the state file and the command line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/byte_order.h"
#include "platform/file.h"
#include "platform/socket.h"
#include "platform/status.h"
#include "sim/bench.h"
#include "sim/core/protocol.h"
#include "sim/core/state_file.h"
#include "sim/feedback.h"
#include "sim/line.h"
#include "sim/options.h"
#include "tests/support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;
using SteadyClock = std::chrono::steady_clock;

constexpr int kReplyTimeoutMs = 2000;
constexpr uint32_t kConfigKey = 0x7B3F0C58;
constexpr uint32_t kCalibrationKey = 0x6C1D4E93;
constexpr uint32_t kInfoKey = 0x91D4E62B;
constexpr uint32_t kFirmwareKey = 0x3E7C51A9;
constexpr uint32_t kConfigPage = 0x3C3000;
constexpr uint32_t kCalibrationPage = 0x3C4000;

// ---- request records ----------------------------------------------------

struct Rec {
  uint8_t direction;  // 0 read, 1 write (anything else for refusals)
  uint16_t address;
  uint8_t count;
  Bytes data;
};

void PutU32(Bytes& b, uint32_t v) {
  b.resize(b.size() + 4);
  PutU32BE(b.data(), b.size(), b.size() - 4, v);
}

uint32_t GetU32(const uint8_t* p) { return GetU32BE(p, 4, 0); }

float GetF32(const uint8_t* p) { return GetF32BE(p, 4, 0); }

Rec Read(uint16_t address, uint8_t count) { return Rec{0, address, count, {}}; }

Rec WriteU32(uint16_t address, uint32_t value) {
  Rec r{1, address, 2, {}};
  PutU32(r.data, value);
  return r;
}

Rec WriteF32(uint16_t address, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return WriteU32(address, bits);
}

Rec WriteU16(uint16_t address, uint16_t value) {
  return Rec{1, address, 1, {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)}};
}

// The write window: 4 address bytes, then the data.
Rec WriteWindow(uint32_t target, const Bytes& data) {
  Rec r{1, qxsim::kFlashWriteWindow, static_cast<uint8_t>(2 + data.size() / 2), {}};
  // One allocation: GCC 12 at -O2 misreads the regrowth inside insert() as an overread.
  r.data.reserve(4 + data.size());
  PutU32(r.data, target);
  r.data.insert(r.data.end(), data.begin(), data.end());
  return r;
}

Bytes Request(const std::vector<Rec>& records, uint16_t tid = 0x1234, uint8_t unit = 0,
              uint8_t function = 76) {
  Bytes b = {static_cast<uint8_t>(tid >> 8), static_cast<uint8_t>(tid), 0, 0, 0, 0, unit, function};
  for (const Rec& r : records) {
    b.push_back(r.direction);
    b.push_back(static_cast<uint8_t>(r.address >> 8));
    b.push_back(static_cast<uint8_t>(r.address));
    b.push_back(r.count);
    b.insert(b.end(), r.data.begin(), r.data.end());
  }
  b[4] = static_cast<uint8_t>((b.size() - 6) >> 8);
  b[5] = static_cast<uint8_t>(b.size() - 6);
  return b;
}

// ---- the raw client -----------------------------------------------------

enum class Got { kReply, kTimeout, kClosed };

class RawClient {
 public:
  // False when the connection is refused or does not complete in time.
  bool Connect(uint16_t port) {
    return socket_.Connect("127.0.0.1", port, kReplyTimeoutMs) == platform::kOk;
  }
  void Close() { socket_.Close(); }
  bool Send(const Bytes& bytes) {
    return socket_.SendAll(bytes.data(), bytes.size(), kReplyTimeoutMs) == platform::kOk;
  }

  // One reply, read by its MBAP length (capped at the station's buffer).
  Got Receive(Bytes* reply, int timeoutMs = kReplyTimeoutMs) {
    reply->clear();
    if (!ReadExactly(reply, 6, timeoutMs)) return last_;
    size_t length = static_cast<size_t>((*reply)[4] << 8 | (*reply)[5]);
    if (length > qxsim::kMaxPacketBytes - 6) length = qxsim::kMaxPacketBytes - 6;
    if (!ReadExactly(reply, 6 + length, timeoutMs)) return last_;
    return Got::kReply;
  }

  // True when the device closes the connection within the time.
  bool ClosedByPeer(int timeoutMs = kReplyTimeoutMs) {
    Bytes ignored;
    return ReadExactly(&ignored, 1 << 20, timeoutMs) ? false : last_ == Got::kClosed;
  }

 private:
  bool ReadExactly(Bytes* out, size_t total, int timeoutMs) {
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (out->size() < total) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
      uint8_t chunk[4096];
      size_t want = total - out->size() < sizeof chunk ? total - out->size() : sizeof chunk;
      size_t n = 0;
      int status = left.count() <= 0
                       ? platform::kTimeout
                       : socket_.Receive(chunk, want, &n, static_cast<uint32_t>(left.count()));
      if (status != platform::kOk) {
        last_ = status == platform::kTimeout ? Got::kTimeout : Got::kClosed;
        return false;
      }
      out->insert(out->end(), chunk, chunk + n);
    }
    return true;
  }

  platform::TcpSocket socket_;
  Got last_ = Got::kTimeout;
};

// Result of one checked exchange: -1 no proper reply, 0 the read data in
// *data, else the exception code.
int Exchange(RawClient& client, const std::vector<Rec>& records, Bytes* data = nullptr) {
  const uint16_t tid = 0x4C21;
  Bytes reply;
  if (!client.Send(Request(records, tid)) || client.Receive(&reply) != Got::kReply) return -1;
  if (reply.size() < 8 || reply[0] != (tid >> 8) || reply[1] != (tid & 0xFF) || reply[2] != 0 ||
      reply[3] != 0 || static_cast<size_t>(reply[4] << 8 | reply[5]) != reply.size() - 6 ||
      reply[6] != 0) {
    return -1;
  }
  if (reply[7] == (76 | 0x80)) return reply.size() == 9 ? reply[8] : -1;
  if (reply[7] != 76) return -1;
  if (data != nullptr) data->assign(reply.begin() + 8, reply.end());
  return 0;
}

// Polls until cond holds or the deadline passes.
template <typename F>
bool WaitFor(F cond, int timeoutMs) {
  auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  while (SteadyClock::now() < deadline) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return cond();
}

// ---- fixture ----------------------------------------------------------------

class SimBench : public ::testing::Test {
 protected:
  void StartBench(qxsim::BenchOptions options = qxsim::BenchOptions()) {
    if (options.restartMs == qxsim::BenchOptions().restartMs) options.restartMs = 200;
    bench_ = std::make_unique<qxsim::Bench>(options);
    std::string error;
    ASSERT_TRUE(bench_->Start(&error)) << error;
    ASSERT_TRUE(usb_.Connect(bench_->usbPort()));
  }
  void SetUp() override { StartBench(); }

  qxsim::VirtualDevice& device() { return bench_->device(); }

  uint32_t ReadU32Wire(uint16_t address) {
    Bytes data;
    EXPECT_EQ(Exchange(usb_, {Read(address, 2)}, &data), 0);
    return data.size() == 4 ? GetU32(data.data()) : 0xDEADDEAD;
  }

  // The station's flash steps, one exchange each.
  int Erase(uint32_t key, uint32_t page) {
    return Exchange(usb_, {WriteU32(qxsim::kFlashKeyRegister, key),
                           WriteU32(qxsim::kFlashEraseRegister, page)});
  }
  int Program(uint32_t key, uint32_t target, const Bytes& bytes) {
    return Exchange(usb_, {WriteU32(qxsim::kFlashKeyRegister, key), WriteWindow(target, bytes)});
  }
  int ReadWindow(uint32_t key, uint32_t from, Bytes* out) {
    return Exchange(
        usb_,
        {WriteU32(qxsim::kFlashKeyRegister, key), WriteU32(qxsim::kFlashPointerRegister, from),
         Read(qxsim::kFlashReadWindow, 16)},
        out);
  }

  std::unique_ptr<qxsim::Bench> bench_;
  RawClient usb_;
};

// ---- feedback round trips ----------------------------------------------------

using SimFeedbackTest = SimBench;

TEST_F(SimFeedbackTest, IdentityAndVersionRegisters) {
  Bytes data;
  ASSERT_EQ(Exchange(usb_, {Read(60000, 2), Read(60010, 2), Read(60004, 2), Read(60006, 2)}, &data),
            0);
  ASSERT_EQ(data.size(), 16u);
  EXPECT_EQ(GetU32(data.data()), 0x41880000u);  // 17.0
  EXPECT_EQ(GetU32(data.data() + 4), 0u);       // not "-Max"
  EXPECT_FLOAT_EQ(GetF32(data.data() + 8), 1.0f);
  EXPECT_FLOAT_EQ(GetF32(data.data() + 12), 0.90f);
}

TEST_F(SimFeedbackTest, MaxEditionSetsBitZero) {
  qxsim::BenchOptions options;
  options.device.isMax = true;
  StartBench(options);
  EXPECT_EQ(ReadU32Wire(60010), 1u);
  device().SetMax(false);
  EXPECT_EQ(ReadU32Wire(60010), 0u);
}

TEST_F(SimFeedbackTest, OpeningWritesAreKeptAndReadsComeInOrder) {
  Bytes data;
  ASSERT_EQ(Exchange(usb_,
                     {WriteU32(4992, 0xDEADBEEF), Read(48005, 1), WriteU16(48005, 1),
                      WriteF32(30014, 2.5f), Read(4992, 2), Read(48005, 1), Read(30014, 2)},
                     &data),
            0);
  // Only read records carry data, each as it stood when its record ran.
  EXPECT_EQ(data, (Bytes{0x00, 0x00, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x01, 0x40, 0x20, 0x00, 0x00}));
  EXPECT_EQ(device().ReadU32(4992), 0xDEADBEEFu);
  EXPECT_FLOAT_EQ(device().ReadF32(30014), 2.5f);
}

TEST_F(SimFeedbackTest, EmptyRequestGetsHeaderOnlyWithTransactionAndUnitEchoed) {
  Bytes reply;
  ASSERT_TRUE(usb_.Send(Request({}, 0xBEEF, 5)));
  ASSERT_EQ(usb_.Receive(&reply), Got::kReply);
  EXPECT_EQ(reply, (Bytes{0xBE, 0xEF, 0x00, 0x00, 0x00, 0x02, 0x05, 0x4C}));
}

TEST_F(SimFeedbackTest, PipelinedRequestsAreAnsweredInOrder) {
  Bytes both = Request({Read(60000, 2)}, 1);
  Bytes second = Request({Read(60010, 2)}, 2);
  both.insert(both.end(), second.begin(), second.end());
  ASSERT_TRUE(usb_.Send(both));
  Bytes a, b;
  ASSERT_EQ(usb_.Receive(&a), Got::kReply);
  ASSERT_EQ(usb_.Receive(&b), Got::kReply);
  EXPECT_EQ(a[1], 1);
  EXPECT_EQ(b[1], 2);
  // A long burst whose requests straddle the end of the server's input.
  Bytes burst;
  for (uint16_t tid = 0; tid < 300; ++tid) {
    Bytes r = Request({Read(60000, 2), Read(60010, 2), Read(60004, 2)}, tid);
    burst.insert(burst.end(), r.begin(), r.end());
  }
  ASSERT_TRUE(usb_.Send(burst));
  for (uint16_t tid = 0; tid < 300; ++tid) {
    ASSERT_EQ(usb_.Receive(&a), Got::kReply) << "reply " << tid;
    ASSERT_EQ(a[0] << 8 | a[1], tid);
  }
}

struct RefusalCase {
  const char* what;
  std::vector<Rec> records;
  int code;
};

TEST_F(SimFeedbackTest, RefusedRequestsGetTheirExceptionCode) {
  const RefusalCase cases[] = {
      {"unmapped register", {Read(100, 1)}, qxsim::kIllegalDataAddress},
      {"run past the identity block", {Read(60028, 4)}, qxsim::kIllegalDataAddress},
      {"write to a read-only register", {WriteU32(60000, 0)}, qxsim::kIllegalDataAddress},
      {"half of the key register", {WriteU16(61801, 1)}, qxsim::kIllegalDataAddress},
      {"direction byte 2", {Rec{2, 48005, 1, {0, 1}}}, qxsim::kIllegalDataValue},
      {"count 0", {Read(48005, 0)}, qxsim::kIllegalDataValue},
      {"write data cut short", {Rec{1, 4992, 2, {0, 0, 0}}}, qxsim::kIllegalDataValue},
      {"reply beyond 1536 bytes", std::vector<Rec>(26, Read(60000, 30)), qxsim::kIllegalDataValue},
      {"restart with another value", {WriteU32(61996, 0x12345678)}, qxsim::kIllegalDataValue},
  };
  for (const RefusalCase& c : cases) {
    EXPECT_EQ(Exchange(usb_, c.records), c.code) << c.what;
  }
  // The link stays usable after every refusal.
  EXPECT_FLOAT_EQ(device().ReadF32(60000), 17.0f);
  EXPECT_EQ(Exchange(usb_, {Read(60000, 2)}), 0);
  EXPECT_FALSE(bench_->server().away());
}

TEST_F(SimFeedbackTest, ReplyOfExactly1536BytesPasses) {
  // 8 header bytes + 1528 data bytes = 764 registers.
  std::vector<Rec> records(25, Read(60000, 30));
  records.push_back(Read(60000, 14));
  Bytes data;
  EXPECT_EQ(Exchange(usb_, records, &data), 0);
  EXPECT_EQ(data.size(), 1528u);
}

TEST_F(SimFeedbackTest, TruncatedRecordHeaderIsRefused) {
  Bytes request = Request({Read(48005, 1)});
  request.pop_back();  // three of the record's four bytes
  request[5] = static_cast<uint8_t>(request[5] - 1);
  Bytes reply;
  ASSERT_TRUE(usb_.Send(request));
  ASSERT_EQ(usb_.Receive(&reply), Got::kReply);
  EXPECT_EQ(reply.size(), 9u);
  EXPECT_EQ(reply[7], 0xCC);
  EXPECT_EQ(reply[8], qxsim::kIllegalDataValue);
}

TEST_F(SimFeedbackTest, StandardToolsReadAndWriteTheSameRegisters) {
  // Function 3 of the product identifier: the two words of 17.0.
  Bytes reply;
  ASSERT_TRUE(usb_.Send({0x00, 0x09, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0xEA, 0x60, 0x00, 0x02}));
  ASSERT_EQ(usb_.Receive(&reply), Got::kReply);
  EXPECT_EQ(reply,
            (Bytes{0x00, 0x09, 0x00, 0x00, 0x00, 0x07, 0x01, 0x03, 0x04, 0x41, 0x88, 0x00, 0x00}));
  // A function the device does not serve is refused with its own code.
  ASSERT_TRUE(usb_.Send({0x00, 0x0A, 0x00, 0x00, 0x00, 0x06, 0x00, 0x05, 0xBB, 0x85, 0xFF, 0x00}));
  ASSERT_EQ(usb_.Receive(&reply), Got::kReply);
  EXPECT_EQ(reply, (Bytes{0x00, 0x0A, 0x00, 0x00, 0x00, 0x03, 0x00, 0x85, 0x01}));
}

// The standard functions' framing, request to reply, on the device itself.
TEST(SimStandardFunctionsTest, FramingAndRefusals) {
  qxsim::VirtualDevice device;
  struct Case {
    const char* what;
    Bytes pdu;       // function code and what follows
    Bytes expected;  // the reply's function code and what follows
  } cases[] = {
      {"read holding", {3, 0xEA, 0x60, 0, 2}, {3, 4, 0x41, 0x88, 0, 0}},
      {"read input", {4, 0xEA, 0x60, 0, 1}, {4, 2, 0x41, 0x88}},
      {"write single, echoed", {6, 0xBB, 0x85, 0, 7}, {6, 0xBB, 0x85, 0, 7}},
      {"read it back", {3, 0xBB, 0x85, 0, 1}, {3, 2, 0, 7}},
      {"write multiple", {16, 0x13, 0x80, 0, 2, 4, 0xDE, 0xAD, 0xBE, 0xEF}, {16, 0x13, 0x80, 0, 2}},
      {"read them back", {4, 0x13, 0x80, 0, 2}, {4, 4, 0xDE, 0xAD, 0xBE, 0xEF}},
      {"read count 0", {3, 0xEA, 0x60, 0, 0}, {0x83, 3}},
      {"read count 126", {3, 0xEA, 0x60, 0, 126}, {0x83, 3}},
      {"read one byte short", {3, 0xEA, 0x60, 0}, {0x83, 3}},
      {"read unmapped", {4, 0, 100, 0, 1}, {0x84, 2}},
      {"read past the block", {3, 0xEA, 0x60, 0, 125}, {0x83, 2}},
      {"write read-only", {6, 0xEA, 0x60, 0, 1}, {0x86, 2}},
      {"write single too long", {6, 0xBB, 0x85, 0, 7, 0}, {0x86, 3}},
      {"byte count not twice the count", {16, 0x13, 0x80, 0, 2, 2, 0, 1}, {0x90, 3}},
      {"write count 124", {16, 0x13, 0x80, 0, 124, 248}, {0x90, 3}},
      {"write off the map", {16, 0xBB, 0x85, 0, 2, 4, 0, 9, 0, 9}, {0x90, 2}},
      {"half of the restart value", {6, 0xF2, 0x2C, 0, 1}, {0x86, 2}},
      {"other function", {43, 14, 1, 0}, {0xAB, 1}},
  };
  for (const Case& c : cases) {
    Bytes request = {0x12, 0x34, 0, 0, 0, static_cast<uint8_t>(c.pdu.size() + 1), 7};
    request.insert(request.end(), c.pdu.begin(), c.pdu.end());
    bool restart = true;
    Bytes reply = qxsim::AnswerRequest(device, request.data(), request.size(), &restart);
    Bytes header = {0x12, 0x34, 0, 0, 0, static_cast<uint8_t>(c.expected.size() + 1), 7};
    header.insert(header.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(reply, header) << c.what;
    EXPECT_FALSE(restart) << c.what;
  }
  EXPECT_EQ(device.ReadU32(4992), 0xDEADBEEFu) << "the feedback function sees the same registers";
  uint16_t v = 0;
  ASSERT_EQ(device.ReadRegisters(48005, 1, &v), 0);
  EXPECT_EQ(v, 7) << "a refused write touched nothing";

  Bytes restart = {0, 1, 0, 0, 0, 11, 0, 16, 0xF2, 0x2C, 0, 2, 4, 0x6B, 0x2E, 0x41, 0xD7};
  bool restartRequested = false;
  qxsim::AnswerRequest(device, restart.data(), restart.size(), &restartRequested);
  EXPECT_TRUE(restartRequested);
}

TEST_F(SimFeedbackTest, MalformedRequestChangesNothingButALaterRefusalKeepsEarlierWrites) {
  EXPECT_EQ(Exchange(usb_, {WriteU16(48005, 7), Read(100, 1)}), qxsim::kIllegalDataAddress);
  uint16_t v = 1;
  ASSERT_EQ(device().ReadRegisters(48005, 1, &v), 0);
  EXPECT_EQ(v, 0) << "nothing ran";
  EXPECT_EQ(Exchange(usb_, {WriteU16(48005, 7), WriteU32(61800, 1), WriteU32(61820, kConfigPage),
                            WriteU32(4992, 9)}),
            qxsim::kWrongFlashKey);
  ASSERT_EQ(device().ReadRegisters(48005, 1, &v), 0);
  EXPECT_EQ(v, 7) << "ran before the refusal";
  EXPECT_EQ(device().ReadU32(4992), 0u) << "after the refusal: not run";
}

TEST_F(SimFeedbackTest, RequestLongerThanTheBufferIsReadWholeAndRefused) {
  Bytes request = Request({Rec{1, 4992, 2, {0, 0, 0, 1}}});
  request.resize(1600, 0);
  request[4] = static_cast<uint8_t>((1600 - 6) >> 8);
  request[5] = static_cast<uint8_t>(1600 - 6);
  Bytes reply;
  ASSERT_TRUE(usb_.Send(request));
  ASSERT_EQ(usb_.Receive(&reply), Got::kReply);
  ASSERT_EQ(reply.size(), 9u);
  EXPECT_EQ(reply[8], qxsim::kIllegalDataValue);
  EXPECT_EQ(device().ReadU32(4992), 0u);
  EXPECT_EQ(Exchange(usb_, {Read(60000, 2)}), 0) << "still in step";
}

TEST_F(SimFeedbackTest, NonModbusFrameClosesTheConnection) {
  Bytes request = Request({Read(60000, 2)});
  request[3] = 1;  // protocol 1
  ASSERT_TRUE(usb_.Send(request));
  EXPECT_TRUE(usb_.ClosedByPeer());
}

TEST_F(SimFeedbackTest, BothEndpointsShareOneDevice) {
  RawClient eth;
  ASSERT_TRUE(eth.Connect(bench_->ethPort()));
  ASSERT_NE(bench_->ethPort(), bench_->usbPort());
  ASSERT_EQ(Exchange(eth, {WriteU32(4992, 77)}), 0);
  EXPECT_EQ(ReadU32Wire(4992), 77u);
  EXPECT_EQ(bench_->usbEndpoint(), "127.0.0.1:" + std::to_string(bench_->usbPort()));
}

// The device takes 64 connections; one more is closed at once, and a place
// that frees up is taken again.
TEST_F(SimFeedbackTest, ConnectionsBeyondTheDevicesLimitAreClosed) {
  std::vector<std::unique_ptr<RawClient>> clients;  // with the fixture's, 64
  for (int i = 0; i < 63; ++i) {
    clients.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(clients.back()->Connect(bench_->usbPort())) << i;
  }
  ASSERT_EQ(Exchange(*clients.back(), {Read(60000, 2)}), 0);
  RawClient extra;
  ASSERT_TRUE(extra.Connect(bench_->usbPort()));
  EXPECT_TRUE(extra.ClosedByPeer());
  clients.front()->Close();
  ASSERT_TRUE(WaitFor([this] { return bench_->server().connectionCount() < 64; }, 2000));
  RawClient again;
  ASSERT_TRUE(again.Connect(bench_->usbPort()));
  EXPECT_EQ(Exchange(again, {Read(60000, 2)}), 0);
}

// A connection that brings no request for the idle time-out is closed, so
// that peers which vanished never hold every place: a station gets in again,
// and a connection in use is kept.
TEST(SimIdleTest, IdleConnectionsAreClosedAndNeverLockAStationOut) {
  platform::FakeClock clock;
  qxsim::BenchOptions options;
  options.device.simClock = &clock;
  options.idleTimeoutMs = 1000;
  qxsim::Bench bench(options);
  std::string error;
  ASSERT_TRUE(bench.Start(&error)) << error;
  std::vector<std::unique_ptr<RawClient>> clients(64);
  for (auto& c : clients) {
    c = std::make_unique<RawClient>();
    ASSERT_TRUE(c->Connect(bench.usbPort()));
  }
  ASSERT_TRUE(WaitFor([&bench] { return bench.server().connectionCount() == 64; }, 2000));
  RawClient locked;
  ASSERT_TRUE(locked.Connect(bench.usbPort()));
  EXPECT_TRUE(locked.ClosedByPeer()) << "every place is taken";

  clock.Advance(600);
  ASSERT_EQ(Exchange(*clients.back(), {Read(60000, 2)}), 0);
  clock.Advance(500);
  ASSERT_TRUE(WaitFor([&bench] { return bench.server().connectionCount() == 1; }, 3000));
  EXPECT_TRUE(clients.front()->ClosedByPeer());
  EXPECT_EQ(Exchange(*clients.back(), {Read(60000, 2)}), 0) << "the one in use stays";
  RawClient station;
  ASSERT_TRUE(station.Connect(bench.usbPort()));
  EXPECT_EQ(Exchange(station, {Read(60000, 2)}), 0);
}

// Links are served at once: a restart is reported to the request that wrote
// it, never to one served meanwhile on another link.
TEST_F(SimFeedbackTest, ARestartBelongsToTheRequestThatAskedForIt) {
  std::atomic<bool> stop{false};
  std::atomic<int> taken{0};
  std::thread other([&] {
    Bytes read = Request({Read(60000, 2)});
    uint8_t reply[qxsim::kMaxPacketBytes];
    while (!stop) {
      bool restart = false;
      qxsim::AnswerRequest(device(), read.data(), read.size(), reply, &restart);
      if (restart) ++taken;
    }
  });
  Bytes write = Request({WriteU32(61996, 0x6B2E41D7)});
  uint8_t reply[qxsim::kMaxPacketBytes];
  int missed = 0;
  for (int i = 0; i < 200000; ++i) {  // a race of a few instructions shows within these
    bool restart = false;
    qxsim::AnswerRequest(device(), write.data(), write.size(), reply, &restart);
    if (!restart) ++missed;
  }
  stop = true;
  other.join();
  EXPECT_EQ(taken.load(), 0);
  EXPECT_EQ(missed, 0);
}

// ---- flash ---------------------------------------------------------------

using SimFlashTest = SimBench;

TEST_F(SimFlashTest, EraseSetsTheWholePageTo0xFF) {
  device().PokeFlash(kCalibrationPage, Bytes(4096, 0x00));
  device().PokeFlash(kCalibrationPage + 4096 - 1, Bytes(1, 0x00));
  uint64_t erases = device().flashEraseCount();
  ASSERT_EQ(Erase(kCalibrationKey, kCalibrationPage), 0);
  EXPECT_EQ(device().PeekFlash(kCalibrationPage, 4096), Bytes(4096, 0xFF));
  EXPECT_EQ(device().flashEraseCount(), erases + 1);
}

TEST_F(SimFlashTest, WritesOnlyClearBits) {
  ASSERT_EQ(Program(kCalibrationKey, kCalibrationPage + 8, {0x0F, 0xAA}), 0);
  ASSERT_EQ(Program(kCalibrationKey, kCalibrationPage + 8, {0xF0, 0xFF}), 0);
  EXPECT_EQ(device().PeekFlash(kCalibrationPage + 6, 6),
            (Bytes{0xFF, 0xFF, 0x00, 0xAA, 0xFF, 0xFF}));
  // Only an erase brings the 1 bits back.
  ASSERT_EQ(Erase(kCalibrationKey, kCalibrationPage), 0);
  ASSERT_EQ(Program(kCalibrationKey, kCalibrationPage + 8, {0xF0, 0xFF}), 0);
  EXPECT_EQ(device().PeekFlash(kCalibrationPage + 8, 2), (Bytes{0xF0, 0xFF}));
}

TEST_F(SimFlashTest, FullWindowWriteAndReadBack) {
  Bytes chunk(32);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(0x80 + i);
  ASSERT_EQ(Program(kFirmwareKey, 0x277FE0, chunk), 0);  // the firmware area's last 32 bytes
  Bytes back;
  ASSERT_EQ(ReadWindow(kFirmwareKey, 0x277FE0, &back), 0);
  EXPECT_EQ(back, chunk);
  // A part of the window reads the bytes at its offset from the pointer.
  Bytes part;
  ASSERT_EQ(Exchange(usb_, {Read(qxsim::kFlashReadWindow + 2, 2)}, &part), 0);
  EXPECT_EQ(part, Bytes(chunk.begin() + 4, chunk.begin() + 8));
  // The pointer reads back; the key does not.
  Bytes regs;
  ASSERT_EQ(Exchange(usb_, {Read(61800, 2), Read(61810, 2)}, &regs), 0);
  EXPECT_EQ(regs, (Bytes{0, 0, 0, 0, 0x00, 0x27, 0x7F, 0xE0}));
}

struct FlashRefusal {
  const char* what;
  char op;  // 'e' erase, 'w' write, 'r' read
  uint32_t key;
  uint32_t address;
  size_t bytes;  // write length
  int code;
};

TEST_F(SimFlashTest, WrongKeysAndAddressesAreRefusedAndTouchNothing) {
  const FlashRefusal cases[] = {
      {"erase, wrong key", 'e', 0x12345678, kConfigPage, 0, qxsim::kWrongFlashKey},
      {"erase, another region's key", 'e', kCalibrationKey, kConfigPage, 0, qxsim::kWrongFlashKey},
      {"erase outside the regions", 'e', kConfigKey, 0x3C2000, 0, qxsim::kIllegalDataAddress},
      {"erase past the firmware area", 'e', kFirmwareKey, 0x278000, 0, qxsim::kIllegalDataAddress},
      {"erase inside a page", 'e', kConfigKey, kConfigPage + 0x10, 0, qxsim::kIllegalDataValue},
      {"write, wrong key", 'w', kInfoKey, kConfigPage, 8, qxsim::kWrongFlashKey},
      {"write outside the regions", 'w', kConfigKey, 0x100000, 8, qxsim::kIllegalDataAddress},
      {"write across two regions", 'w', kConfigKey, kConfigPage + 4080, 32,
       qxsim::kIllegalDataAddress},
      {"write window without data", 'w', kConfigKey, kConfigPage, 0, qxsim::kIllegalDataValue},
      {"read, wrong key", 'r', kFirmwareKey, kConfigPage, 0, qxsim::kWrongFlashKey},
      {"read outside the regions", 'r', kConfigKey, 0x3C5000, 0, qxsim::kIllegalDataAddress},
      {"read running off the region", 'r', kConfigKey, kConfigPage + 4080, 0,
       qxsim::kIllegalDataAddress},
  };
  const Bytes config = device().PeekFlash(kConfigPage, 4096);
  const Bytes calibration = device().PeekFlash(kCalibrationPage, 4096);
  for (const FlashRefusal& c : cases) {
    Bytes out;
    int code = c.op == 'e'   ? Erase(c.key, c.address)
               : c.op == 'w' ? Program(c.key, c.address, Bytes(c.bytes, 0x00))
                             : ReadWindow(c.key, c.address, &out);
    EXPECT_EQ(code, c.code) << c.what;
  }
  EXPECT_EQ(device().PeekFlash(kConfigPage, 4096), config);
  EXPECT_EQ(device().PeekFlash(kCalibrationPage, 4096), calibration);
  EXPECT_EQ(device().flashEraseCount(), 0u);
  EXPECT_EQ(device().flashWriteCount(), 0u);
}

TEST_F(SimFlashTest, EveryRegionTakesItsOwnKey) {
  const struct {
    uint32_t key;
    uint32_t page;
  } regions[] = {{kFirmwareKey, 0x200000},
                 {kFirmwareKey, 0x277000},
                 {kInfoKey, 0x380000},
                 {kConfigKey, kConfigPage},
                 {kCalibrationKey, kCalibrationPage}};
  for (const auto& r : regions) {
    EXPECT_EQ(Erase(r.key, r.page), 0) << std::hex << r.page;
    EXPECT_EQ(Program(r.key, r.page + 4064, Bytes(32, 0x5A)), 0) << std::hex << r.page;
    Bytes back;
    EXPECT_EQ(ReadWindow(r.key, r.page + 4064, &back), 0) << std::hex << r.page;
    EXPECT_EQ(back, Bytes(32, 0x5A)) << std::hex << r.page;
  }
}

TEST_F(SimFlashTest, FailingFlashWriteIsAnExceptionAndWritesNothing) {
  bench_->SetFlashWriteFault(1);
  EXPECT_EQ(Program(kCalibrationKey, kCalibrationPage, {0x00, 0x00}), 0);
  EXPECT_EQ(Program(kCalibrationKey, kCalibrationPage + 2, {0x00, 0x00}), qxsim::kDeviceFailure);
  EXPECT_EQ(Program(kCalibrationKey, kCalibrationPage + 4, {0x00, 0x00}), qxsim::kDeviceFailure);
  EXPECT_EQ(device().PeekFlash(kCalibrationPage, 6), (Bytes{0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  // Key and range faults still come first; erases are not affected.
  EXPECT_EQ(Program(kConfigKey, kCalibrationPage, {0x00, 0x00}), qxsim::kWrongFlashKey);
  EXPECT_EQ(Erase(kCalibrationKey, kCalibrationPage), 0);
  bench_->SetFlashWriteFault(-1);
  EXPECT_EQ(Program(kCalibrationKey, kCalibrationPage, {0x00, 0x00}), 0);
}

// ---- configuration page behind 60028 and 60020 ------------------------------

using SimConfigPageTest = SimBench;

Bytes SerialRecord(uint32_t serial) {
  return {0x08,
          0xBE,
          0xE1,
          0x7D,
          0,
          0,
          0,
          0,
          static_cast<uint8_t>(serial),
          static_cast<uint8_t>(serial >> 8),
          static_cast<uint8_t>(serial >> 16),
          static_cast<uint8_t>(serial >> 24)};
}

TEST_F(SimConfigPageTest, StartingIdentityShowsInTheRegisters) {
  const struct {
    qxsim::StartingIdentity identity;
    uint32_t serial;
    uint64_t mac;
    uint32_t expectedSerial;
    Bytes expectedMac;
  } cases[] = {
      {qxsim::StartingIdentity::kFactoryDefaults, 0, 0, 470010000, {2, 0x7C, 0x4B, 0, 0x20, 0}},
      {qxsim::StartingIdentity::kBlank, 0, 0, 0xFFFFFFFF, Bytes(6, 0xFF)},
      {qxsim::StartingIdentity::kGiven,
       470012345,
       0x027C4B0020A5,
       470012345,
       {2, 0x7C, 0x4B, 0, 0x20, 0xA5}},
  };
  for (const auto& c : cases) {
    qxsim::BenchOptions options;
    options.device.identity = c.identity;
    options.device.serialNumber = c.serial;
    options.device.mac = c.mac;
    StartBench(options);
    Bytes data;
    ASSERT_EQ(Exchange(usb_, {Read(60028, 2), Read(60020, 3)}, &data), 0);
    ASSERT_EQ(data.size(), 10u);
    EXPECT_EQ(GetU32(data.data()), c.expectedSerial);
    EXPECT_EQ(Bytes(data.begin() + 4, data.end()), c.expectedMac);
  }
}

TEST_F(SimConfigPageTest, RecordsWrittenThroughTheFlashShowAtOnce) {
  qxsim::BenchOptions options;
  options.device.identity = qxsim::StartingIdentity::kBlank;
  StartBench(options);
  Bytes record = SerialRecord(470010042);
  ASSERT_EQ(Program(kConfigKey, kConfigPage, record), 0);
  ASSERT_EQ(Program(kConfigKey, kConfigPage + 0x14, {0, 0, 2, 0x7C, 0x4B, 0, 0x21, 0x07}), 0);
  EXPECT_EQ(ReadU32Wire(60028), 470010042u);
  Bytes mac;
  ASSERT_EQ(Exchange(usb_, {Read(60020, 3)}, &mac), 0);
  EXPECT_EQ(mac, (Bytes{2, 0x7C, 0x4B, 0, 0x21, 0x07}));
  EXPECT_EQ(device().SerialNumber(), 470010042u);
  EXPECT_EQ(device().Mac(), 0x027C4B002107u);
}

TEST_F(SimConfigPageTest, DamagedRecordsReadAsNoSerialAndTheDefaultMac) {
  Bytes record = SerialRecord(470010042);
  record[1] = 0xBF;
  device().PokeFlash(kConfigPage, record);
  device().PokeFlash(kConfigPage + 0x14, {0, 1, 2, 3, 4, 5, 6, 7});
  EXPECT_EQ(ReadU32Wire(60028), 0xFFFFFFFFu);
  Bytes mac;
  ASSERT_EQ(Exchange(usb_, {Read(60020, 3)}, &mac), 0);
  EXPECT_EQ(mac, (Bytes{2, 0x7C, 0x4B, 0, 0x20, 0}));
}

// ---- restart -------------------------------------------------------------

class SimRestartTest : public SimBench {
 protected:
  bool BackWithin(int ms) {
    return WaitFor([this] { return usb_.Connect(bench_->usbPort()); }, ms);
  }
};

TEST_F(SimRestartTest, RestartAnswersThenDropsStaysAwayAndComesBack) {
  RawClient eth;
  ASSERT_TRUE(eth.Connect(bench_->ethPort()));
  bench_->server().SetRestartMs(400);
  ASSERT_EQ(Exchange(usb_, {WriteU16(48005, 1), WriteU32(61800, kConfigKey)}), 0);
  ASSERT_EQ(Exchange(usb_, {WriteU32(61996, 0x6B2E41D7)}), 0) << "the reply comes first";
  EXPECT_TRUE(usb_.ClosedByPeer());
  EXPECT_TRUE(eth.ClosedByPeer()) << "both endpoints go";
  EXPECT_TRUE(bench_->server().away());
  RawClient probe;
  EXPECT_FALSE(probe.Connect(bench_->usbPort())) << "refused while away";
  ASSERT_TRUE(BackWithin(3000));
  EXPECT_FALSE(bench_->server().away());
  // Volatile state is back at its power-on values: 48005 and the key.
  Bytes data;
  ASSERT_EQ(Exchange(usb_, {Read(48005, 1)}, &data), 0);
  EXPECT_EQ(data, (Bytes{0, 0}));
  Bytes window;
  EXPECT_EQ(Exchange(usb_, {WriteU32(61810, kConfigPage), Read(61812, 16)}, &window),
            qxsim::kWrongFlashKey);
  EXPECT_TRUE(eth.Connect(bench_->ethPort()));
}

TEST_F(SimRestartTest, DeviceRunsTheFirmwareWhoseInfoPageWasWritten) {
  Bytes header = {'Q', 'X', 'F', 'X', 0x05, 0xF6, 0x23, 0x69};  // 100017001
  PutU32(header, 0x3F9D70A4);                                   // 1.23
  ASSERT_EQ(Erase(kInfoKey, 0x380000), 0);
  ASSERT_EQ(Program(kInfoKey, 0x380000, header), 0);
  EXPECT_FLOAT_EQ(device().ReadF32(60004), 1.0f) << "still the old firmware";
  ASSERT_EQ(Exchange(usb_, {WriteU32(61996, 0x6B2E41D7)}), 0);
  ASSERT_TRUE(usb_.ClosedByPeer());
  ASSERT_TRUE(BackWithin(3000));
  EXPECT_FLOAT_EQ(GetF32(std::vector<uint8_t>{0x3F, 0x9D, 0x70, 0xA4}.data()),
                  bench_->device().firmwareVersion());
  EXPECT_NEAR(device().ReadF32(60004), 1.23f, 1e-6);
  EXPECT_FLOAT_EQ(device().ReadF32(60006), 0.90f);

  // An erased info page holds no firmware: the bootloader alone answers.
  ASSERT_EQ(Erase(kInfoKey, 0x380000), 0);
  bench_->server().Restart();
  ASSERT_TRUE(usb_.ClosedByPeer());
  ASSERT_TRUE(BackWithin(3000));
  EXPECT_FLOAT_EQ(device().ReadF32(60004), 0.0f);
}

TEST_F(SimRestartTest, RequestsQueuedBehindTheRestartNeverReachTheDevice) {
  Bytes both = Request({WriteU32(61996, 0x6B2E41D7)}, 1);
  Bytes later =
      Request({WriteU32(61800, kCalibrationKey), WriteWindow(kCalibrationPage, {0, 0})}, 2);
  both.insert(both.end(), later.begin(), later.end());
  ASSERT_TRUE(usb_.Send(both));
  Bytes reply;
  ASSERT_EQ(usb_.Receive(&reply), Got::kReply);
  EXPECT_EQ(reply[1], 1);
  EXPECT_TRUE(usb_.ClosedByPeer()) << "no reply to the second request";
  EXPECT_EQ(device().PeekFlash(kCalibrationPage, 2), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(device().flashWriteCount(), 0u);
}

TEST(SimInfoPageTest, VersionFieldFollowsTheImageVersionEncoding) {
  const struct {
    Bytes header;
    float version;
  } cases[] = {
      {{'Q', 'X', 'F', 'X', 0x05, 0xF6, 0x23, 0x69, 0x3F, 0xC0, 0x00, 0x00}, 1.5f},
      {{'Q', 'X', 'F', 'X', 0x05, 0xF6, 0x23, 0x69, 0x7F, 0x00, 0x01, 0x17}, 1.23f},
      {{'Q', 'X', 'F', 'X', 0x05, 0xF6, 0x23, 0x6A, 0x3F, 0xC0, 0x00, 0x00}, 0.0f},  // other device
      {{'Q', 'X', 'F', 'Y', 0x05, 0xF6, 0x23, 0x69, 0x3F, 0xC0, 0x00, 0x00}, 0.0f},  // no magic
  };
  for (const auto& c : cases) {
    Bytes page(4096, 0xFF);
    std::copy(c.header.begin(), c.header.end(), page.begin());
    EXPECT_FLOAT_EQ(qxsim::FirmwareVersionFromInfoPage(page.data()), c.version);
  }
}

// ---- link faults ---------------------------------------------------------

using SimFaultTest = SimBench;

TEST_F(SimFaultTest, NoAnswerKeepsTheConnectionAndNeverReachesTheDevice) {
  qxsim::LinkFaults faults;
  faults.noAnswer = true;
  bench_->SetUsbFaults(faults);
  Bytes reply;
  ASSERT_TRUE(usb_.Send(Request({WriteU16(48005, 3)})));
  EXPECT_EQ(usb_.Receive(&reply, 300), Got::kTimeout);
  uint16_t v = 1;
  ASSERT_EQ(device().ReadRegisters(48005, 1, &v), 0);
  EXPECT_EQ(v, 0);
  bench_->SetUsbFaults(qxsim::LinkFaults());
  EXPECT_EQ(Exchange(usb_, {Read(48005, 1)}), 0) << "same connection, answering again";
}

TEST_F(SimFaultTest, SlowAnswerComesLate) {
  qxsim::LinkFaults faults;
  faults.slowMs = 250;
  bench_->SetFaults(faults);
  Bytes reply;
  auto sent = SteadyClock::now();
  ASSERT_TRUE(usb_.Send(Request({Read(60000, 2)})));
  EXPECT_EQ(usb_.Receive(&reply, 100), Got::kTimeout);
  ASSERT_EQ(usb_.Receive(&reply), Got::kReply);
  EXPECT_GE(SteadyClock::now() - sent, std::chrono::milliseconds(250));
  EXPECT_EQ(GetU32(reply.data() + 8), 0x41880000u);
}

TEST_F(SimFaultTest, CorruptHeaderSpoilsTheNamedField) {
  const struct {
    qxsim::HeaderFault fault;
    size_t at;
    Bytes expected;  // bytes at `at` in the reply
  } cases[] = {
      {qxsim::HeaderFault::kTransactionId, 0, {0x12, 0x35}},
      {qxsim::HeaderFault::kProtocol, 2, {0x00, 0x01}},
      {qxsim::HeaderFault::kLength, 4, {0x05, 0xFB}},
      {qxsim::HeaderFault::kUnit, 6, {0x01}},
      {qxsim::HeaderFault::kFunction, 7, {0x4D}},
  };
  for (const auto& c : cases) {
    qxsim::LinkFaults faults;
    faults.corruptHeader = c.fault;
    bench_->SetUsbFaults(faults);
    ASSERT_TRUE(usb_.Connect(bench_->usbPort()));
    Bytes reply;
    ASSERT_TRUE(usb_.Send(Request({Read(60000, 2)}, 0x1234)));
    ASSERT_NE(usb_.Receive(&reply, 300), Got::kClosed) << qxsim::HeaderFaultName(c.fault);
    ASSERT_GE(reply.size(), c.at + c.expected.size());
    EXPECT_EQ(Bytes(reply.begin() + c.at, reply.begin() + c.at + c.expected.size()), c.expected)
        << qxsim::HeaderFaultName(c.fault);
  }
}

TEST_F(SimFaultTest, DropAfterNRequestsClosesTheConnection) {
  qxsim::LinkFaults faults;
  faults.dropAfter = 2;
  bench_->SetUsbFaults(faults);
  EXPECT_EQ(Exchange(usb_, {Read(60000, 2)}), 0);
  EXPECT_EQ(Exchange(usb_, {Read(60000, 2)}), 0);
  ASSERT_TRUE(usb_.Send(Request({WriteU16(48005, 5)})));
  EXPECT_TRUE(usb_.ClosedByPeer());
  uint16_t v = 1;
  ASSERT_EQ(device().ReadRegisters(48005, 1, &v), 0);
  EXPECT_EQ(v, 0) << "the dropped request was not processed";
  ASSERT_TRUE(usb_.Connect(bench_->usbPort()));
  EXPECT_EQ(Exchange(usb_, {Read(60000, 2)}), 0) << "counted per connection";
}

TEST_F(SimFaultTest, FaultsStayOnTheirEndpoint) {
  qxsim::LinkFaults faults;
  faults.noAnswer = true;
  bench_->SetEthFaults(faults);
  RawClient eth;
  ASSERT_TRUE(eth.Connect(bench_->ethPort()));
  Bytes reply;
  ASSERT_TRUE(eth.Send(Request({Read(60000, 2)})));
  EXPECT_EQ(eth.Receive(&reply, 300), Got::kTimeout);
  EXPECT_EQ(Exchange(usb_, {Read(60000, 2)}), 0);
  EXPECT_TRUE(bench_->server().faults(qxsim::kEthEndpoint).noAnswer);
  EXPECT_FALSE(bench_->server().faults(qxsim::kUsbEndpoint).noAnswer);
}

TEST_F(SimFaultTest, PulledCableDropsEveryConnection) {
  ASSERT_EQ(Exchange(usb_, {Read(60000, 2)}), 0);  // the device has taken the connection
  bench_->server().DropConnections();
  EXPECT_TRUE(usb_.ClosedByPeer());
  ASSERT_TRUE(usb_.Connect(bench_->usbPort()));
  EXPECT_EQ(Exchange(usb_, {Read(60000, 2)}), 0);
}

// ---- state file ------------------------------------------------------------

class SimStateFileTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = dir_.File("device.state"); }

  qxsim::BenchOptions Options(qxsim::StartingIdentity identity) {
    qxsim::BenchOptions options;
    options.statePath = path_;
    options.device.identity = identity;
    return options;
  }

  TempDir dir_;
  std::string path_;
};

TEST_F(SimStateFileTest, FlashSurvivesARestartOfTheBench) {
  std::string error;
  {
    qxsim::Bench bench(Options(qxsim::StartingIdentity::kFactoryDefaults));
    ASSERT_TRUE(bench.Start(&error)) << error;
    EXPECT_TRUE(platform::FileExists(path_.c_str())) << "created at start";
    RawClient c;
    ASSERT_TRUE(c.Connect(bench.usbPort()));
    Bytes record = {0x12, 0x34, 0x56, 0x78};
    ASSERT_EQ(
        Exchange(c, {WriteU32(61800, kCalibrationKey), WriteWindow(kCalibrationPage, record)}), 0);
    ASSERT_TRUE(bench.Stop(&error)) << error;
  }
  // The file wins over the identity options of the next run.
  qxsim::Bench again(Options(qxsim::StartingIdentity::kBlank));
  ASSERT_TRUE(again.Start(&error)) << error;
  EXPECT_EQ(again.device().PeekFlash(kCalibrationPage, 5), (Bytes{0x12, 0x34, 0x56, 0x78, 0xFF}));
  EXPECT_EQ(again.device().SerialNumber(), 470010000u);
  // Nothing but the state file, its lock and its (empty) journal is left.
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    std::string name = entry.path().filename();
    EXPECT_TRUE(name == "device.state" || name == "device.state.lock" ||
                name == "device.state.journal")
        << name;
    ++files;
  }
  EXPECT_EQ(files, 3u);
  EXPECT_EQ(std::filesystem::file_size(path_ + ".journal"), 0u);
}

TEST_F(SimStateFileTest, AnAnsweredFlashWriteIsInTheFileAndASecondBenchIsRefused) {
  std::string error;
  qxsim::Bench bench(Options(qxsim::StartingIdentity::kFactoryDefaults));
  ASSERT_TRUE(bench.Start(&error)) << error;
  RawClient c;
  ASSERT_TRUE(c.Connect(bench.usbPort()));
  ASSERT_EQ(
      Exchange(c, {WriteU32(61800, kCalibrationKey), WriteWindow(kCalibrationPage, {0x5A, 0x5B})}),
      0);
  qxsim::Bench second(Options(qxsim::StartingIdentity::kFactoryDefaults));
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(error.find("in use by another bench"), std::string::npos) << error;

  // What a bench started after a kill finds: the change is in the journal
  // (whatever the state file says), and a cut last record is left out.
  std::vector<qxsim::FlashPatch> patches;
  ASSERT_TRUE(qxsim::ReadJournal(path_ + ".journal", &patches, &error)) << error;
  ASSERT_FALSE(patches.empty());
  EXPECT_EQ(patches.back().address, kCalibrationPage);
  EXPECT_EQ(patches.back().bytes, (Bytes{0x5A, 0x5B}));
  std::vector<uint8_t> records;
  for (const qxsim::FlashPatch& p : patches) qxsim::AppendJournalRecord(p, &records);
  EXPECT_EQ(qxsim::ParseJournal(records.data(), records.size() - 1).size(), patches.size() - 1);
}

TEST_F(SimStateFileTest, AJournalLeftByAKilledBenchIsTakenAtTheNextStart) {
  std::string error;
  {
    qxsim::Bench bench(Options(qxsim::StartingIdentity::kFactoryDefaults));
    ASSERT_TRUE(bench.Start(&error)) << error;
  }
  std::vector<uint8_t> records;
  qxsim::AppendJournalRecord({kCalibrationPage + 2, {0x11, 0x22}}, &records);
  qxsim::AppendJournalRecord({kCalibrationPage + 2, {0x01, 0x02}}, &records);  // the later wins
  std::ofstream(path_ + ".journal", std::ios::binary)
      .write(reinterpret_cast<const char*>(records.data()),
             static_cast<std::streamsize>(records.size()));
  qxsim::Bench bench(Options(qxsim::StartingIdentity::kFactoryDefaults));
  ASSERT_TRUE(bench.Start(&error)) << error;
  EXPECT_EQ(bench.device().PeekFlash(kCalibrationPage + 2, 3), (Bytes{0x01, 0x02, 0xFF}));
  EXPECT_EQ(std::filesystem::file_size(path_ + ".journal"), 0u) << "folded into the state file";
}

TEST_F(SimStateFileTest, SavedWhileRunningOnceTheChangesPause) {
  std::string error;
  qxsim::Bench bench(Options(qxsim::StartingIdentity::kFactoryDefaults));
  ASSERT_TRUE(bench.Start(&error)) << error;
  bench.device().PokeFlash(kConfigPage + 100, {0x42});
  bool saved = WaitFor(
      [&] {
        qxsim::VirtualDevice reader;
        std::vector<qxsim::StateSection> sections;
        std::string e;
        return qxsim::ReadStateFile(path_, &sections, &e) == qxsim::StateFileRead::kLoaded &&
               reader.LoadState(sections, &e) && reader.PeekFlash(kConfigPage + 100, 1)[0] == 0x42;
      },
      5000);
  EXPECT_TRUE(saved);
}

TEST_F(SimStateFileTest, DamagedFileIsRefused) {
  std::string error;
  {
    qxsim::Bench bench(Options(qxsim::StartingIdentity::kFactoryDefaults));
    ASSERT_TRUE(bench.Start(&error)) << error;
  }
  FILE* f = std::fopen(path_.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  std::fseek(f, 5000, SEEK_SET);
  std::fputc(0x00, f);
  std::fclose(f);
  qxsim::Bench bench(Options(qxsim::StartingIdentity::kFactoryDefaults));
  EXPECT_FALSE(bench.Start(&error));
  EXPECT_NE(error.find("damaged"), std::string::npos) << error;
  EXPECT_FALSE(bench.running());

  // A truncated file likewise.
  std::filesystem::resize_file(path_, 100);
  EXPECT_FALSE(bench.Start(&error));
}

TEST_F(SimStateFileTest, SectionsOfUnknownTagsAreCarriedOver) {
  std::string error;
  qxsim::VirtualDevice device;
  std::vector<qxsim::StateSection> sections = device.SaveState();
  sections.push_back({"XTRA", {1, 2, 3}});
  ASSERT_TRUE(qxsim::WriteStateFile(path_, sections, &error)) << error;
  {
    qxsim::Bench bench(Options(qxsim::StartingIdentity::kFactoryDefaults));
    ASSERT_TRUE(bench.Start(&error)) << error;
    ASSERT_TRUE(bench.Stop(&error)) << error;
  }
  std::vector<qxsim::StateSection> back;
  ASSERT_EQ(qxsim::ReadStateFile(path_, &back, &error), qxsim::StateFileRead::kLoaded) << error;
  ASSERT_FALSE(back.empty());
  EXPECT_EQ(back.back().tag, "XTRA");
  EXPECT_EQ(back.back().bytes, (Bytes{1, 2, 3}));
}

TEST_F(SimStateFileTest, UnwritablePlaceFailsTheStart) {
  qxsim::BenchOptions options = Options(qxsim::StartingIdentity::kFactoryDefaults);
  options.statePath = dir_.File("no/such/dir/device.state");
  qxsim::Bench bench(options);
  std::string error;
  EXPECT_FALSE(bench.Start(&error));
  EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
}

// ---- command line --------------------------------------------------------

struct ParseResult {
  int status;  // 0 all used, -1 refused
  qxsim::BenchOptions options;
  qxsim::DeviceCommandLine seen;
  std::string error;
};

ParseResult Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "qxsim");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  ParseResult r{0, {}, {}, {}};
  r.status = qxsim::ParseBenchCommandLine(static_cast<int>(argv.size()), argv.data(), &r.options,
                                          &r.seen, &r.error);
  return r;
}

TEST(SimOptionsTest, AcceptedOptions) {
  ParseResult r = Parse({"--max", "--serial", "470012345", "--mac", "02.7c.4b.00.20.0A", "--state",
                         "/tmp/x", "--usb", "127.0.0.1:0", "--eth", "127.0.0.1:1502",
                         "--restart-seconds", "1.5", "--bootloader", "0.88", "--firmware", "0.14"});
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_TRUE(r.options.device.isMax);
  EXPECT_EQ(r.options.device.identity, qxsim::StartingIdentity::kGiven);
  EXPECT_EQ(r.options.device.serialNumber, 470012345u);
  EXPECT_EQ(r.options.device.mac, 0x027C4B00200Au);
  EXPECT_EQ(r.options.statePath, "/tmp/x");
  EXPECT_EQ(r.options.ethEndpoint, "127.0.0.1:1502");
  EXPECT_EQ(r.options.restartMs, 1500u);
  EXPECT_FLOAT_EQ(r.options.device.bootloaderVersion, 0.88f);
  EXPECT_FLOAT_EQ(r.options.device.factoryFirmwareVersion, 0.14f);

  r = Parse({"--fault-slow-ms", "40", "--fault-corrupt-header=length", "--fault-drop-after", "3",
             "--fault-no-answer", "--fault-on", "eth", "--fault-flash-write-after", "7"});
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_EQ(r.options.ethFaults.slowMs, 40u);
  EXPECT_EQ(r.options.ethFaults.corruptHeader, qxsim::HeaderFault::kLength);
  EXPECT_EQ(r.options.ethFaults.dropAfter, 3);
  EXPECT_TRUE(r.options.ethFaults.noAnswer);
  EXPECT_FALSE(r.options.usbFaults.noAnswer);
  EXPECT_EQ(r.options.flashWriteFailAfter, 7);

  r = Parse({"--fault-corrupt-header", "--fault-flash-write", "--blank"});
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_EQ(r.options.usbFaults.corruptHeader, qxsim::HeaderFault::kTransactionId);
  EXPECT_EQ(r.options.flashWriteFailAfter, 0);
  EXPECT_EQ(r.options.device.identity, qxsim::StartingIdentity::kBlank);
}

TEST(SimOptionsTest, RefusedOptions) {
  const std::vector<std::vector<std::string>> cases = {
      {"--serial", "-1"},
      {"--serial", "4294967296"},
      {"--serial", "12x"},
      {"--mac", "02.7C.4B.00.20"},
      {"--mac", "02.7C.4B.00.20.GG"},
      {"--usb", "127.0.0.1"},
      {"--eth", "127.0.0.1:70000"},
      {"--blank", "--serial", "470012345"},
      {"--defaults", "--blank"},
      {"--fault-corrupt-header=crc"},
      {"--restart-seconds", "-1"},
      {"--fault-slow-ms", "fast"},
      {"--fault-on", "wifi"},
      {"--state"},
      {"--bogus"},
  };
  for (const auto& args : cases) {
    ParseResult r = Parse(args);
    EXPECT_EQ(r.status, -1) << args[0];
  }
  EXPECT_NE(Parse({"--serial"}).error.find("needs a value"), std::string::npos);
}

TEST(SimOptionsTest, EndpointDefaultsFollowTheEnvironment) {
  ::unsetenv("QXM_USB_ENDPOINT");
  ::unsetenv("QX_DEVICE_IP");
  EXPECT_EQ(qxsim::DefaultUsbEndpoint(), "127.0.0.1:50200");
  EXPECT_EQ(qxsim::DefaultEthEndpoint(), "127.0.0.1:50502");
  ::setenv("QXM_USB_ENDPOINT", "127.0.0.1:4711", 1);
  ::setenv("QX_DEVICE_IP", "127.0.0.2", 1);
  EXPECT_EQ(qxsim::DefaultUsbEndpoint(), "127.0.0.1:4711");
  EXPECT_EQ(qxsim::DefaultEthEndpoint(), "127.0.0.2:502");
  ::unsetenv("QXM_USB_ENDPOINT");
  ::unsetenv("QX_DEVICE_IP");
}

TEST(SimLineTest, EachDeviceGetsItsOwnEndpointsFilesAndIdentity) {
  qxsim::BenchOptions first;
  first.usbEndpoint = "127.0.0.1:50200";
  first.ethEndpoint = "127.0.0.1:0";
  first.statePath = "/tmp/z5.state";
  first.meter.linkPath = "/tmp/meter";
  first.device.serialNumber = 470012345;
  first.withTestServer = true;
  qxsim::BenchOptions third;
  std::string error;
  ASSERT_TRUE(qxsim::BenchOptionsForDevice(first, 2, &third, &error)) << error;
  EXPECT_EQ(third.usbEndpoint, "127.0.0.1:50202");
  EXPECT_EQ(third.ethEndpoint, "127.0.0.1:0") << "any free port stays any free port";
  EXPECT_EQ(third.statePath, "/tmp/z5.state.2");
  EXPECT_EQ(third.meter.linkPath, "/tmp/meter.2");
  EXPECT_EQ(third.device.serialNumber, 470012347u);
  EXPECT_FALSE(third.withTestServer) << "one test server for the line";
  first.usbEndpoint = "127.0.0.1:65535";
  EXPECT_FALSE(qxsim::BenchOptionsForDevice(first, 1, &third, &error));
  EXPECT_NE(error.find("device 1"), std::string::npos) << error;
}

}  // namespace
