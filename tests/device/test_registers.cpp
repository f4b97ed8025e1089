// Register helpers: the records each one sends, the values read back, and
// codes passed up unchanged.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "device/link_errors.h"
#include "device/registers.h"
#include "qxm/qxm_errors.h"
#include "tests/support/bench_device.h"

namespace {

class RegistersTest : public ::testing::Test {
 protected:
  // The records of the only request sent (header stripped).
  Bytes OnlyRecords() {
    EXPECT_EQ(device.ExchangeCount(), 1u);
    if (device.ExchangeCount() != 1) return {};
    const Bytes& request = device.Requests()[0];
    return Bytes(request.begin() + 8, request.end());
  }

  void SetUp() override { device.AddScratchRegisters(40000, 2000); }  // the analog channel banks

  BenchDevice device;
  int h = device.Handle();
};

struct RecordCase {
  const char* name;
  std::function<int(int)> call;
  Bytes records;
};

TEST_F(RegistersTest, WritesSendTheirRecords) {
  const RecordCase cases[] = {
      {"WriteU32 zero",
       [](int h) { return WriteU32(h, 4992, 0); },
       {0x01, 0x13, 0x80, 0x02, 0x00, 0x00, 0x00, 0x00}},
      {"WriteU32 top value",
       [](int h) { return WriteU32(h, 4992, 0xFFFFFFFFu); },
       {0x01, 0x13, 0x80, 0x02, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"WriteU32 above the i32 range",
       [](int h) { return WriteU32(h, 4992, 3000000000u); },
       {0x01, 0x13, 0x80, 0x02, 0xB2, 0xD0, 0x5E, 0x00}},
      {"WriteFloat zero",
       [](int h) { return WriteFloat(h, 30014, 0.0f); },
       {0x01, 0x75, 0x3E, 0x02, 0x00, 0x00, 0x00, 0x00}},
      {"WriteFloat -2.5",
       [](int h) { return WriteFloat(h, 30014, -2.5f); },
       {0x01, 0x75, 0x3E, 0x02, 0xC0, 0x20, 0x00, 0x00}},
      {"WriteU16",
       [](int h) { return WriteU16(h, 48005, 1); },
       {0x01, 0xBB, 0x85, 0x01, 0x00, 0x01}},
      {"WriteLinePair",
       [](int h) { return WriteLinePair(h, 5, 1, 0); },
       {0x01, 0x08, 0x39, 0x01, 0x00, 0x01, 0x01, 0x07, 0xD5, 0x01, 0x00, 0x00}},
      {"WriteLinePair cuts to 16 bits",
       [](int h) { return WriteLinePair(h, 0, 70000, -1); },
       {0x01, 0x08, 0x34, 0x01, 0x11, 0x70, 0x01, 0x07, 0xD0, 0x01, 0xFF, 0xFF}},
      // 40506 <- 0, 41006 <- 8, 41506 <- 4, 40006 <- 199: the fifth argument
      // goes to bank 40000 and is written last.
      {"ConfigureChannel",
       [](int h) { return ConfigureChannel(h, 6, 0, 8, 199, 4); },
       {0x01, 0x9E, 0x3A, 0x01, 0x00, 0x00, 0x01, 0xA0, 0x2E, 0x01, 0x00, 0x08,
        0x01, 0xA2, 0x22, 0x01, 0x00, 0x04, 0x01, 0x9C, 0x46, 0x01, 0x00, 0xC7}},
  };
  for (const RecordCase& c : cases) {
    SCOPED_TRACE(c.name);
    device.ClearRequests();
    EXPECT_EQ(c.call(h), 0);
    EXPECT_EQ(OnlyRecords(), c.records);
  }
}

TEST_F(RegistersTest, WritesReachTheRegisters) {
  ASSERT_EQ(WriteFloat(h, 30014, 0.1f), 0);
  EXPECT_EQ(device.model().ReadF32(30014), 0.1f);
  ASSERT_EQ(WriteU32(h, 4992, 3000000000u), 0);
  EXPECT_EQ(device.model().ReadU32(4992), 3000000000u);
}

TEST_F(RegistersTest, ReadsSendOneReadRecordAndReturnTheValue) {
  float f = 0.0f;
  ASSERT_EQ(ReadFloat(h, 60000, &f), 0);
  EXPECT_EQ(f, 17.0f);
  EXPECT_EQ(OnlyRecords(), (Bytes{0x00, 0xEA, 0x60, 0x02}));
  device.ClearRequests();
  device.model().SetMax(true);
  uint32_t u = 0;
  ASSERT_EQ(ReadU32(h, 60010, &u), 0);
  EXPECT_EQ(u, 1u);
  EXPECT_EQ(OnlyRecords(), (Bytes{0x00, 0xEA, 0x6A, 0x02}));
}

TEST_F(RegistersTest, ReadsWithoutAnOutValueAreRefused) {
  EXPECT_EQ(ReadFloat(h, 5000, nullptr), kLinkBadArgument);
  EXPECT_EQ(ReadU32(h, 5000, nullptr), kLinkBadArgument);
  EXPECT_EQ(device.ExchangeCount(), 0u);
}

TEST_F(RegistersTest, AddressesOutsideTheRegisterRangeAreRefused) {
  // 2100 + line beyond 0xFFFF, and a negative channel: nothing may wrap onto
  // another register.
  EXPECT_EQ(WriteLinePair(h, 0xFFFF, 1, 1), kLinkBadAddress);
  EXPECT_EQ(ConfigureChannel(h, -40001, 1, 1, 1, 1), kLinkBadAddress);
  EXPECT_EQ(WriteU16(h, 0x10000, 1), kLinkBadAddress);
  EXPECT_EQ(WriteU16(h, -1, 1), kLinkBadAddress);
  EXPECT_EQ(device.ExchangeCount(), 0u);
}

TEST_F(RegistersTest, EveryHelperReturnsAFailingCodeUnchanged) {
  float f = 0.0f;
  uint32_t u = 0;
  uint16_t value = 1;
  const std::function<int()> calls[] = {
      [&] { return ReadFloat(h, 60000, &f); },
      [&] { return ReadU32(h, 60000, &u); },
      [&] { return WriteU32(h, 4992, 1); },
      [&] { return WriteFloat(h, 30014, 1.0f); },
      [&] { return WriteU16(h, 48005, 1); },
      [&] { return WriteLinePair(h, 5, 1, 0); },
      [&] { return ConfigureChannel(h, 6, 0, 8, 199, 4); },
  };
  // An exception on every register the helpers touch, a corrupt reply, a
  // lost request.
  LinkFaults exception11;
  exception11.exceptionCode = 11;
  LinkFaults corrupt;
  corrupt.corruptHeader = qxsim::HeaderFault::kLength;
  LinkFaults lost;
  lost.noAnswer = true;
  const struct {
    LinkFaults faults;
    int code;
  } failures[] = {
      {exception11, 1211}, {corrupt, QXM_ERR_BAD_LENGTH}, {lost, QXM_ERR_REPLY_TIMEOUT}};
  const int registers[] = {60000, 60000, 4992, 30014, 48005, 2005, 40506};
  for (const auto& failure : failures) {
    for (size_t i = 0; i < sizeof calls / sizeof calls[0]; ++i) {
      SCOPED_TRACE(testing::Message() << "code " << failure.code << " helper " << i);
      device.ClearRequests();
      LinkFaults faults = failure.faults;
      faults.exceptionRegister = registers[i];
      device.SetFaults(faults);
      EXPECT_EQ(calls[i](), failure.code);
      // Exactly one exchange of its own (plus the follow-up read after 1211).
      EXPECT_EQ(device.ExchangeCount(), failure.code == 1211 ? 2u : 1u);
    }
  }
  EXPECT_EQ(device.model().ReadRegisters(48005, 1, &value), 0);
  EXPECT_EQ(value, 0u);
}

TEST_F(RegistersTest, ReadsOnFailureStoreTheUndecodedBuffer) {
  LinkFaults faults;
  faults.drop = true;
  device.SetFaults(faults);
  uint32_t u = 12345;
  EXPECT_EQ(ReadU32(h, 60000, &u), QXM_ERR_CONNECTION_LOST);
  // The out value is overwritten with the frame's buffer, which a failed
  // exchange left as allocated: cleared.
  EXPECT_EQ(u, 0u);
}

}  // namespace
