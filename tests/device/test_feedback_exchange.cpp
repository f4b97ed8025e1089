// The feedback exchange against the bench device: packets byte for byte,
// decoding of every data type, the follow-up rule, refusals before sending,
// and replies too short for their read frames.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "device/feedback_exchange.h"
#include "device/feedback_frame.h"
#include "device/link_errors.h"
#include "device/register_addresses.h"
#include "device/registers.h"
#include "platform/byte_order.h"
#include "qxm/qxm.h"
#include "qxm/qxm_errors.h"
#include "sim/core/protocol.h"
#include "tests/support/bench_device.h"

namespace {

using D = FrameDirection;
using T = FrameDataType;

const Bytes kFollowUpRequest = {0x00, 0x00, 0x00, 0x00, 0x00, 0x06,
                                0x00, 0x4C, 0x00, 0xD6, 0xD8, 0x04};

class FeedbackExchangeTest : public ::testing::Test {
 protected:
  // Plain registers for the framing tests, where the model has none.
  void SetUp() override {
    device.AddScratchRegisters(0, 1300);
    device.AddScratchRegisters(3000, 2);
    device.AddScratchRegisters(0xFFFF, 1);
  }
  void Set(uint16_t address, std::vector<uint16_t> values) {
    ASSERT_EQ(device.model().WriteRegisters(address, values.size(), values.data()), 0);
  }
  uint16_t Get(uint16_t address) {
    uint16_t value = 0;
    EXPECT_EQ(device.model().ReadRegisters(address, 1, &value), 0);
    return value;
  }
  int Exchange(std::vector<FeedbackFrame>& frames) {
    return FeedbackExchange(device.Handle(), static_cast<int>(frames.size()), frames.data());
  }
  // Fills a frame's buffer with a pattern that no reply of these tests carries.
  static void Poison(FeedbackFrame& frame) {
    if (frame.ByteCount() > 0) std::memset(frame.Bytes(), 0xA5, frame.ByteCount());
  }
  static bool Poisoned(const FeedbackFrame& frame) {
    for (size_t i = 0; i < frame.ByteCount(); ++i) {
      if (frame.Bytes()[i] != 0xA5) return false;
    }
    return true;
  }

  BenchDevice device;
};

TEST_F(FeedbackExchangeTest, EmptyListSendsTheBareHeader) {
  EXPECT_EQ(FeedbackExchange(device.Handle(), 0, nullptr), 0);
  ASSERT_EQ(device.ExchangeCount(), 1u);
  EXPECT_EQ(device.Requests()[0], (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x4C}));
}

struct PacketCase {
  const char* name;
  std::vector<FeedbackFrame> frames;
  Bytes request;
};

TEST_F(FeedbackExchangeTest, RequestsByteForByte) {
  const uint8_t raw[] = {0xDE, 0xAD, 0xBE, 0xEF};
  std::vector<PacketCase> cases;
  cases.push_back({"read u32",
                   {FeedbackFrame(D::Read, 60000, 2, T::U32)},
                   {0, 0, 0, 0, 0, 6, 0, 0x4C, 0x00, 0xEA, 0x60, 0x02}});
  cases.push_back({"write u16",
                   {FeedbackFrame(D::Write, 48005, 1, T::U16, 1)},
                   {0, 0, 0, 0, 0, 8, 0, 0x4C, 0x01, 0xBB, 0x85, 0x01, 0x00, 0x01}});
  cases.push_back({"write u32",
                   {FeedbackFrame(D::Write, 4992, 2, T::U32, 0x12345678u)},
                   {0, 0, 0, 0, 0, 10, 0, 0x4C, 0x01, 0x13, 0x80, 0x02, 0x12, 0x34, 0x56, 0x78}});
  cases.push_back({"write f32",
                   {FeedbackFrame(D::Write, 30014, 2, T::F32, 1.0)},
                   {0, 0, 0, 0, 0, 10, 0, 0x4C, 0x01, 0x75, 0x3E, 0x02, 0x3F, 0x80, 0x00, 0x00}});
  cases.push_back({"write bytes in buffer order",
                   {FeedbackFrame(D::Write, 3000, 2, T::Bytes, raw)},
                   {0, 0, 0, 0, 0, 10, 0, 0x4C, 0x01, 0x0B, 0xB8, 0x02, 0xDE, 0xAD, 0xBE, 0xEF}});
  cases.push_back({"write reserved sends zeros",
                   {FeedbackFrame(D::Write, 1001, 2, T::Reserved, raw)},
                   {0, 0, 0, 0, 0, 10, 0, 0x4C, 0x01, 0x03, 0xE9, 0x02, 0, 0, 0, 0}});
  cases.push_back(
      {"write then read",
       {FeedbackFrame(D::Write, 2105, 1, T::U16, 0xABCD), FeedbackFrame(D::Read, 60000, 2, T::U32)},
       {0, 0, 0, 0, 0, 12, 0, 0x4C, 0x01, 0x08, 0x39, 0x01, 0xAB, 0xCD, 0x00, 0xEA, 0x60, 0x02}});
  cases.push_back({"top address",
                   {FeedbackFrame(D::Read, 0xFFFF, 1, T::U16)},
                   {0, 0, 0, 0, 0, 6, 0, 0x4C, 0x00, 0xFF, 0xFF, 0x01}});
  for (PacketCase& c : cases) {
    SCOPED_TRACE(c.name);
    device.ClearRequests();
    EXPECT_EQ(Exchange(c.frames), 0);
    ASSERT_EQ(device.ExchangeCount(), 1u);
    EXPECT_EQ(device.Requests()[0], c.request);
  }
}

TEST_F(FeedbackExchangeTest, WriteFrameOfManyRegistersCarriesEveryValue) {
  uint16_t values[255];
  for (int i = 0; i < 255; ++i) values[i] = static_cast<uint16_t>(0x0100 + i);
  std::vector<FeedbackFrame> frames = {
      FeedbackFrame(D::Write, 1000, 255, T::U16, reinterpret_cast<const uint8_t*>(values))};
  ASSERT_EQ(Exchange(frames), 0);
  const Bytes& request = device.Requests()[0];
  ASSERT_EQ(request.size(), 8u + 4u + 510u);
  EXPECT_EQ(GetU16BE(request.data(), request.size(), 4), 6u + 510u);
  EXPECT_EQ(request[11], 255);
  for (int i = 0; i < 255; ++i) EXPECT_EQ(Get(static_cast<uint16_t>(1000 + i)), values[i]) << i;
}

TEST_F(FeedbackExchangeTest, DecodesEveryDataType) {
  Set(100, {0x1234, 0xABCD});
  Set(300, {0x0102, 0x0304, 0xA1B2, 0xC3D4});
  Set(400, {0x0102, 0x0304});
  std::vector<FeedbackFrame> frames = {
      FeedbackFrame(D::Read, 60000, 2, T::U32), FeedbackFrame(D::Read, 100, 2, T::U16),
      FeedbackFrame(D::Read, 60000, 2, T::F32), FeedbackFrame(D::Read, 300, 4, T::U32),
      FeedbackFrame(D::Read, 400, 2, T::Bytes)};
  ASSERT_EQ(Exchange(frames), 0);
  EXPECT_EQ(frames[0].U32(0), 0x41880000u);  // 17.0
  EXPECT_EQ(frames[1].U16(0), 0x1234u);
  EXPECT_EQ(frames[1].U16(1), 0xABCDu);
  EXPECT_EQ(frames[2].F32(0), 17.0f);
  EXPECT_EQ(frames[3].U32(0), 0x01020304u);
  EXPECT_EQ(frames[3].U32(1), 0xA1B2C3D4u);
  EXPECT_EQ(Bytes(frames[4].Bytes(), frames[4].Bytes() + 4), (Bytes{1, 2, 3, 4}));
}

TEST_F(FeedbackExchangeTest, ReplyDataBelongToTheReadFramesAlone) {
  Set(50, {0x1111});
  Set(60, {0x2222, 0x3333, 0x4444});
  // A reserved read in between takes its registers' worth and stores nothing,
  // so the frame after it still gets its own data.
  std::vector<FeedbackFrame> frames = {
      FeedbackFrame(D::Write, 48005, 1, T::U16, 7), FeedbackFrame(D::Read, 50, 1, T::U16),
      FeedbackFrame(D::Write, 4992, 2, T::U32, 9u), FeedbackFrame(D::Read, 60, 2, T::Reserved),
      FeedbackFrame(D::Read, 62, 1, T::U16)};
  ASSERT_EQ(Exchange(frames), 0);
  EXPECT_EQ(frames[1].U16(0), 0x1111u);
  EXPECT_EQ(frames[3].U32(0), 0u);
  EXPECT_EQ(frames[4].U16(0), 0x4444u);
  // Write frames are sent, never overwritten by the reply.
  EXPECT_EQ(frames[0].U16(0), 7u);
  EXPECT_EQ(frames[2].U32(0), 9u);
  EXPECT_EQ(Get(48005), 7u);
  EXPECT_EQ(device.model().ReadU32(4992), 9u);
}

TEST_F(FeedbackExchangeTest, FollowUpReadAfterTheMarkedCodesOnly) {
  const struct {
    int code;
    bool followUp;
  } codes[] = {{1211, true}, {19, true},    {3, true},     {1203, true},  {-13, true},
               {2, false},   {1212, false}, {1017, false}, {1000, false}, {256, false}};
  for (const auto& c : codes) EXPECT_EQ(NeedsFollowUp(c.code), c.followUp) << c.code;

  // Through the device: exceptions 11 and 3 (a restart value the device
  // refuses) are followed up; exception 2 and a corrupt reply are not.
  LinkFaults exception11;
  exception11.exceptionRegister = 60000;
  exception11.exceptionCode = 11;
  LinkFaults corrupt;
  corrupt.corruptHeader = qxsim::HeaderFault::kLength;
  const struct {
    LinkFaults faults;
    FeedbackFrame frame;
    int code;
  } cases[] = {
      {exception11, FeedbackFrame(D::Read, 60000, 2, T::U32), 1211},
      {LinkFaults(), FeedbackFrame(D::Write, 61996, 2, T::U32, 1u), 1203},
      {LinkFaults(), FeedbackFrame(D::Read, 59000, 2, T::U32), 1202},
      {corrupt, FeedbackFrame(D::Read, 60000, 2, T::U32), QXM_ERR_BAD_LENGTH},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    device.ClearRequests();
    device.SetFaults(c.faults);
    FeedbackFrame frame = c.frame;
    EXPECT_EQ(FeedbackExchange(device.Handle(), 1, &frame), c.code);
    const bool followUp = NeedsFollowUp(c.code);
    ASSERT_EQ(device.ExchangeCount(), followUp ? 2u : 1u);
    if (followUp) {
      EXPECT_EQ(device.Requests()[1], kFollowUpRequest);
    }
  }
}

TEST_F(FeedbackExchangeTest, TheFirstCodeStandsWhateverTheFollowUpReturns) {
  LinkFaults faults;
  faults.exceptionRegister = 60000;
  faults.exceptionCode = 11;
  device.SetFaults(faults);
  std::vector<FeedbackFrame> frames = {FeedbackFrame(D::Read, 60000, 2, T::U32)};
  // The model has no error registers: the follow-up fails with exception 2.
  EXPECT_EQ(Exchange(frames), 1211);
  // Given them, it succeeds.
  device.AddScratchRegisters(kRegErrorDetail, kFollowUpRegisterCount);
  EXPECT_EQ(Exchange(frames), 1211);
  EXPECT_EQ(device.ExchangeCount(), 4u);
}

TEST_F(FeedbackExchangeTest, FailedExchangeLeavesReadFramesUndecoded) {
  // The follow-up's own reply carries data too: none of it may land anywhere.
  device.AddScratchRegisters(kRegErrorDetail, kFollowUpRegisterCount);
  Set(kRegErrorDetail, {0x1111, 0x1111, 0x2222, 0x2222});
  LinkFaults exception11;
  exception11.exceptionRegister = 61812;
  exception11.exceptionCode = 11;
  LinkFaults flashRefused;  // the read window off the flash
  LinkFaults lost;
  lost.drop = true;
  const struct {
    LinkFaults faults;
    int code;
  } cases[] = {{exception11, 1211}, {flashRefused, 1202}, {lost, QXM_ERR_CONNECTION_LOST}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    ASSERT_EQ(WriteU32(device.Handle(), 61810, 0xFFFFFF00u), 0);
    std::vector<FeedbackFrame> frames = {FeedbackFrame(D::Read, 60000, 2, T::U32),
                                         FeedbackFrame(D::Read, 61812, 16, T::Bytes)};
    Poison(frames[0]);
    Poison(frames[1]);
    device.SetFaults(c.faults);
    EXPECT_EQ(Exchange(frames), c.code);
    EXPECT_TRUE(Poisoned(frames[0]));
    EXPECT_TRUE(Poisoned(frames[1]));
    device.ClearFaults();
  }
}

struct RefusalCase {
  const char* name;
  std::vector<FeedbackFrame> frames;
  int code;
};

std::vector<FeedbackFrame> RegisterRun(D direction, const std::vector<uint32_t>& counts) {
  std::vector<FeedbackFrame> frames;
  for (uint32_t count : counts) frames.emplace_back(direction, 1000, count, T::U16);
  return frames;
}

TEST_F(FeedbackExchangeTest, ListsThatCannotBeSentAreRefusedBeforeSending) {
  std::vector<RefusalCase> cases;
  cases.push_back({"unconfigured frame", {FeedbackFrame()}, kLinkBadDirection});
  cases.push_back(
      {"direction 0", {FeedbackFrame(static_cast<D>(0), 1, 1, T::U16)}, kLinkBadDirection});
  cases.push_back(
      {"direction 3", {FeedbackFrame(static_cast<D>(3), 1, 1, T::U16)}, kLinkBadDirection});
  cases.push_back(
      {"data type 5", {FeedbackFrame(D::Write, 1, 1, static_cast<T>(5), 1)}, kLinkBadDataType});
  cases.push_back(
      {"256 registers", {FeedbackFrame(D::Read, 1, 256, T::U16)}, kLinkTooManyRegisters});
  cases.push_back({"address beyond 16 bits",
                   {FeedbackFrame(D::Write, 0x10000 + 48005, 1, T::U16, 1)},
                   kLinkBadAddress});
  cases.push_back(
      {"u32 of three registers", {FeedbackFrame(D::Read, 1, 3, T::U32)}, kLinkOddValueCount});
  cases.push_back(
      {"f32 of one register", {FeedbackFrame(D::Write, 1, 1, T::F32, 1.0)}, kLinkOddValueCount});
  // 8 + 514 + 514 + (4 + 2 x 249) = 1538: two bytes over.
  cases.push_back(
      {"request two bytes too long", RegisterRun(D::Write, {255, 255, 249}), kLinkRequestTooLong});
  // 8 + 2 x 765 = 1538.
  cases.push_back(
      {"reply two bytes too long", RegisterRun(D::Read, {255, 255, 255}), kLinkReplyTooLong});
  // A bad frame anywhere in the list stops the whole list.
  cases.push_back({"bad frame after good ones",
                   {FeedbackFrame(D::Write, 48005, 1, T::U16, 1),
                    FeedbackFrame(D::Read, 60000, 2, T::U32), FeedbackFrame()},
                   kLinkBadDirection});
  for (RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Exchange(c.frames), c.code);
    EXPECT_EQ(device.ExchangeCount(), 0u);
  }
  EXPECT_EQ(Get(48005), 0u);
}

TEST_F(FeedbackExchangeTest, ListsThatExactlyFitAreSent) {
  // 8 + 514 + 514 + (4 + 2 x 248) = 1536.
  std::vector<FeedbackFrame> request = RegisterRun(D::Write, {255, 255, 248});
  EXPECT_EQ(Exchange(request), 0);
  ASSERT_EQ(device.ExchangeCount(), 1u);
  EXPECT_EQ(device.Requests()[0].size(), static_cast<size_t>(QXM_BUFFER_SIZE));
  // 8 + 2 x 764 = 1536.
  Set(1000 + 253, {0xBEEF});
  std::vector<FeedbackFrame> reply = RegisterRun(D::Read, {255, 255, 254});
  EXPECT_EQ(Exchange(reply), 0);
  EXPECT_EQ(reply[2].U16(253), 0xBEEFu);
}

TEST_F(FeedbackExchangeTest, BadArgumentsAreRefused) {
  EXPECT_EQ(FeedbackExchange(device.Handle(), -1, nullptr), kLinkBadArgument);
  EXPECT_EQ(FeedbackExchange(device.Handle(), 1, nullptr), kLinkBadArgument);
  EXPECT_EQ(device.ExchangeCount(), 0u);
}

struct ShortReplyCase {
  size_t dataBytes;
  int code;
};

TEST_F(FeedbackExchangeTest, ReplyShorterThanItsReadFramesIsAnError) {
  Set(70, {0x7777});
  // The two read frames need 6 bytes of data.
  const ShortReplyCase cases[] = {
      {0, kLinkShortReply}, {4, kLinkShortReply}, {5, kLinkShortReply}, {6, 0}};
  for (const ShortReplyCase& c : cases) {
    SCOPED_TRACE(c.dataBytes);
    device.ClearRequests();
    std::vector<FeedbackFrame> frames = {FeedbackFrame(D::Read, 60000, 2, T::U32),
                                         FeedbackFrame(D::Write, 48005, 1, T::U16, 1),
                                         FeedbackFrame(D::Read, 70, 1, T::U16)};
    Poison(frames[0]);
    Poison(frames[2]);
    LinkFaults cut;
    cut.cutReplyTo = static_cast<int>(c.dataBytes);
    device.SetFaults(cut);
    EXPECT_EQ(Exchange(frames), c.code);
    EXPECT_EQ(device.ExchangeCount(), 1u);  // no follow-up for a short reply
    if (c.code == 0) {
      EXPECT_EQ(frames[0].U32(0), 0x41880000u);
      EXPECT_EQ(frames[2].U16(0), 0x7777u);
    } else {
      // All or nothing: not even the frame whose data did arrive changes.
      EXPECT_TRUE(Poisoned(frames[0]));
      EXPECT_TRUE(Poisoned(frames[2]));
    }
  }
}

TEST_F(FeedbackExchangeTest, WriteOnlyListNeedsNoReplyData) {
  LinkFaults cut;
  cut.cutReplyTo = 0;
  device.SetFaults(cut);
  std::vector<FeedbackFrame> frames = {FeedbackFrame(D::Write, 48005, 1, T::U16, 1)};
  EXPECT_EQ(Exchange(frames), 0);
}

TEST_F(FeedbackExchangeTest, LibraryCodesPassUnchanged) {
  int closed = 0;
  ASSERT_EQ(QXM_Open("z5", "usb", "", &closed), QXM_OK);
  ASSERT_EQ(QXM_Close(closed), QXM_OK);
  std::vector<FeedbackFrame> frames = {FeedbackFrame(D::Read, 60000, 2, T::U32)};
  EXPECT_EQ(FeedbackExchange(closed, 1, frames.data()), QXM_ERR_INVALID_HANDLE);
  const qxsim::HeaderFault corrupt[] = {qxsim::HeaderFault::kTransactionId,
                                        qxsim::HeaderFault::kProtocol, qxsim::HeaderFault::kLength,
                                        qxsim::HeaderFault::kUnit, qxsim::HeaderFault::kFunction};
  const int codes[] = {QXM_ERR_BAD_TRANSACTION, QXM_ERR_BAD_PROTOCOL, QXM_ERR_BAD_LENGTH,
                       QXM_ERR_BAD_UNIT, QXM_ERR_BAD_FUNCTION};
  LinkFaults faults;
  for (int i = 0; i < 5; ++i) {
    faults.corruptHeader = corrupt[i];
    device.SetFaults(faults);
    EXPECT_EQ(Exchange(frames), codes[i]);
  }
  faults = LinkFaults();
  faults.noAnswer = true;
  device.SetFaults(faults);
  EXPECT_EQ(Exchange(frames), QXM_ERR_REPLY_TIMEOUT);
}

TEST_F(FeedbackExchangeTest, LinkCodesHaveTextsAndNeverAskForTheFollowUp) {
  const int codes[] = {kLinkFlashBadArgument, kLinkBadDirection,   kLinkBadDataType,
                       kLinkTooManyRegisters, kLinkRequestTooLong, kLinkReplyTooLong,
                       kLinkShortReply,       kLinkOddValueCount,  kLinkBadAddress,
                       kLinkBadArgument};
  for (int code : codes) {
    SCOPED_TRACE(code);
    EXPECT_FALSE(NeedsFollowUp(code));
    EXPECT_STRNE(LinkErrorToString(code), QXM_ErrorToString(code));
    for (int other : codes) {
      if (other != code) {
        EXPECT_STRNE(LinkErrorToString(code), LinkErrorToString(other));
      }
    }
  }
  EXPECT_STREQ(LinkErrorToString(QXM_ERR_BAD_TRANSACTION),
               QXM_ErrorToString(QXM_ERR_BAD_TRANSACTION));
}

}  // namespace
