// Feedback frames: value and array forms, re-initialisation, ownership of the
// buffer, and the byte-order helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "device/feedback_frame.h"
#include "platform/byte_order.h"

namespace {

using D = FrameDirection;
using T = FrameDataType;

class FeedbackFrameTest : public ::testing::Test {};

struct IntegerCase {
  T type;
  uint32_t registers;
  double value;
  uint32_t expected;  // first element, in the type's own width
};

TEST_F(FeedbackFrameTest, IntegerValuesKeepTheirLowBits) {
  const IntegerCase cases[] = {
      {T::U32, 2, 4294967295.0, 0xFFFFFFFFu},
      {T::U32, 2, 3000000000.0, 3000000000u},
      {T::U32, 2, -1.0, 0xFFFFFFFFu},
      {T::U32, 2, 17.9, 17u},  // truncated toward zero
      {T::U32, 2, 4294967296.0 + 5.0, 5u},
      {T::U16, 1, 70000.0, 4464u},
      {T::U16, 1, -1.0, 0xFFFFu},
      {T::U16, 1, 0xBB85, 0xBB85u},
      {T::U16, 1, -2.7, 0xFFFEu},
      {T::Bytes, 1, 300.0, 44u},
      {T::Bytes, 1, -1.0, 0xFFu},
      // Out of every integer range: clamped, never undefined.
      {T::U32, 2, 1e300, 0xFFFFFFFFu},
      {T::U32, 2, -1e300, 0u},
      {T::U16, 1, std::nan(""), 0u},
  };
  for (const IntegerCase& c : cases) {
    SCOPED_TRACE(c.value);
    FeedbackFrame frame(D::Write, 100, c.registers, c.type, c.value);
    switch (c.type) {
      case T::U32:
        EXPECT_EQ(frame.U32(0), c.expected);
        break;
      case T::U16:
        EXPECT_EQ(frame.U16(0), c.expected);
        break;
      default:
        EXPECT_EQ(frame.Bytes()[0], c.expected);
        break;
    }
  }
}

TEST_F(FeedbackFrameTest, FloatValuesRoundToFloat) {
  FeedbackFrame tenth(D::Write, 30014, 2, T::F32, 0.1);
  EXPECT_EQ(tenth.F32(0), 0.1f);
  FeedbackFrame huge(D::Write, 30014, 2, T::F32, 1e300);
  EXPECT_TRUE(std::isinf(huge.F32(0)));
  EXPECT_GT(huge.F32(0), 0.0f);
  FeedbackFrame negative(D::Write, 30014, 2, T::F32, -1e300);
  EXPECT_LT(negative.F32(0), 0.0f);
  const double justAbove = static_cast<double>(std::numeric_limits<float>::max()) * (1 + 1e-9);
  FeedbackFrame top(D::Write, 30014, 2, T::F32, justAbove);
  EXPECT_EQ(top.F32(0), std::numeric_limits<float>::max());
}

TEST_F(FeedbackFrameTest, ValueFormsTakeAnyArithmeticType) {
  FeedbackFrame fromU32(D::Write, 1, 2, T::U32, uint32_t{0xFEDCBA98});
  EXPECT_EQ(fromU32.U32(0), 0xFEDCBA98u);
  FeedbackFrame fromInt(D::Write, 1, 1, T::U16, 0);
  EXPECT_EQ(fromInt.U16(0), 0u);
  FeedbackFrame fromFloat(D::Write, 1, 2, T::F32, 2.5f);
  EXPECT_EQ(fromFloat.F32(0), 2.5f);
  FeedbackFrame set;
  set.Set(D::Write, 1, 1, T::U16, -3);
  EXPECT_EQ(set.U16(0), 0xFFFDu);
  set.Set(D::Write, 1, 2, T::U32, uint32_t{4000000000u});
  EXPECT_EQ(set.U32(0), 4000000000u);
}

TEST_F(FeedbackFrameTest, ValueFormsWriteOnlyTheFirstElement) {
  FeedbackFrame frame(D::Write, 1, 4, T::U16, 7);
  EXPECT_EQ(frame.U16(0), 7u);
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(frame.U16(i), 0u);
  // No other type stores anything.
  FeedbackFrame reserved(D::Write, 1, 2, T::Reserved, 12345.0);
  EXPECT_EQ(reserved.U32(0), 0u);
  FeedbackFrame unknown(D::Write, 1, 2, static_cast<T>(9), 12345.0);
  EXPECT_EQ(unknown.U32(0), 0u);
}

TEST_F(FeedbackFrameTest, ArrayFormsCopyInTheirElementType) {
  const uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 8};
  FeedbackFrame raw(D::Write, 61830, 4, T::Bytes, bytes);
  ASSERT_EQ(raw.ByteCount(), 8u);
  EXPECT_EQ(std::memcmp(raw.Bytes(), bytes, 8), 0);

  const uint16_t words[] = {0x1234, 0xABCD};
  FeedbackFrame u16(D::Write, 1, 2, T::U16, reinterpret_cast<const uint8_t*>(words));
  EXPECT_EQ(u16.U16(0), 0x1234u);
  EXPECT_EQ(u16.U16(1), 0xABCDu);

  const float floats[] = {1.5f, -2.0f};
  FeedbackFrame f32(D::Write, 1, 4, T::F32, reinterpret_cast<const uint8_t*>(floats));
  EXPECT_EQ(f32.F32(0), 1.5f);
  EXPECT_EQ(f32.F32(1), -2.0f);

  const uint32_t longs[] = {0xDEADBEEF, 42};
  FeedbackFrame u32(D::Write, 1, 4, T::U32, reinterpret_cast<const uint8_t*>(longs));
  EXPECT_EQ(u32.U32(0), 0xDEADBEEFu);
  EXPECT_EQ(u32.U32(1), 42u);

  FeedbackFrame fromNull(D::Write, 1, 2, T::Bytes, static_cast<const uint8_t*>(nullptr));
  EXPECT_EQ(fromNull.Bytes()[0], 0u);
}

TEST_F(FeedbackFrameTest, OddCountArrayOfThirtyTwoBitValuesStaysInsideTheSource) {
  // Three registers hold one whole u32 value: only 4 bytes are read from the
  // source, which under the sanitizer catches any read of a fifth.
  std::vector<uint8_t> source = {0x11, 0x22, 0x33, 0x44};
  FeedbackFrame frame(D::Write, 1, 3, T::U32, source.data());
  EXPECT_EQ(frame.ByteCount(), 6u);
  EXPECT_EQ(frame.U32Count(), 1u);
  uint32_t expected = 0;
  std::memcpy(&expected, source.data(), 4);
  EXPECT_EQ(frame.U32(0), expected);
}

TEST_F(FeedbackFrameTest, SetReallocatesForTheNewSize) {
  FeedbackFrame frame(D::Read, 60000, 2, T::U32);
  frame.SetU32(0, 99);
  frame.Set(D::Read, 61812, 16, T::Bytes);
  EXPECT_EQ(frame.registerCount(), 16u);
  EXPECT_EQ(frame.address(), 61812u);
  EXPECT_EQ(frame.dataType(), T::Bytes);
  ASSERT_EQ(frame.ByteCount(), 32u);
  // The whole new buffer is usable and starts cleared.
  for (size_t i = 0; i < 32; ++i) EXPECT_EQ(frame.Bytes()[i], 0u) << i;
  frame.Bytes()[31] = 0x5A;
  frame.Set(D::Write, 1, 1, T::U16);
  EXPECT_EQ(frame.ByteCount(), 2u);
  EXPECT_EQ(frame.U16Count(), 1u);
}

TEST_F(FeedbackFrameTest, EmptyAndOversizedFramesHoldNoStorage) {
  FeedbackFrame empty;
  EXPECT_EQ(empty.ByteCount(), 0u);
  EXPECT_EQ(empty.Bytes(), nullptr);
  EXPECT_NE(empty.direction(), D::Read);
  EXPECT_NE(empty.direction(), D::Write);

  FeedbackFrame oversized(D::Read, 1, 256, T::Bytes);
  EXPECT_EQ(oversized.registerCount(), 256u);
  EXPECT_EQ(oversized.ByteCount(), 0u);
  FeedbackFrame huge(D::Read, 1, 0xFFFFFFFFu, T::U16, 5);
  EXPECT_EQ(huge.ByteCount(), 0u);
  EXPECT_EQ(huge.U16(0), 0u);
  FeedbackFrame largest(D::Read, 1, kMaxFrameRegisters, T::U16);
  EXPECT_EQ(largest.ByteCount(), 510u);
}

TEST_F(FeedbackFrameTest, IndicesBeyondTheBufferReadZeroAndWriteNothing) {
  FeedbackFrame frame(D::Read, 1, 2, T::U16);
  frame.SetU16(2, 0xFFFF);
  frame.SetU32(1, 0xFFFFFFFF);
  frame.SetF32(1, 1.0f);
  EXPECT_EQ(frame.U16(0), 0u);
  EXPECT_EQ(frame.U16(1), 0u);
  EXPECT_EQ(frame.U16(2), 0u);
  EXPECT_EQ(frame.U32(1), 0u);
  EXPECT_EQ(frame.F32(1), 0.0f);
}

TEST_F(FeedbackFrameTest, ViewsShareOneStorage) {
  FeedbackFrame frame(D::Read, 1, 2, T::F32);
  frame.SetF32(0, 1.0f);
  EXPECT_EQ(frame.U32(0), 0x3F800000u);
  uint16_t low = 0;
  uint16_t high = 0;
  std::memcpy(&low, frame.Bytes(), 2);
  std::memcpy(&high, frame.Bytes() + 2, 2);
  EXPECT_EQ(frame.U16(0), low);
  EXPECT_EQ(frame.U16(1), high);
}

TEST_F(FeedbackFrameTest, CopiesAreDeepAndMovesEmptyTheSource) {
  FeedbackFrame original(D::Write, 48005, 1, T::U16, 1);
  FeedbackFrame copy(original);
  copy.SetU16(0, 2);
  EXPECT_EQ(original.U16(0), 1u);
  EXPECT_NE(copy.Bytes(), original.Bytes());

  FeedbackFrame assigned;
  assigned = original;
  EXPECT_EQ(assigned.U16(0), 1u);
  EXPECT_EQ(assigned.address(), 48005u);
  FeedbackFrame& same = assigned;
  assigned = same;  // self-assignment keeps the frame
  EXPECT_EQ(assigned.U16(0), 1u);

  const uint8_t* storage = original.Bytes();
  FeedbackFrame moved(std::move(original));
  EXPECT_EQ(moved.Bytes(), storage);
  EXPECT_EQ(moved.direction(), D::Write);
  EXPECT_EQ(original.ByteCount(), 0u);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(original.registerCount(), 0u);

  std::vector<FeedbackFrame> list;
  for (int i = 0; i < 20; ++i) list.emplace_back(D::Write, 2000 + i, 1, T::U16, i);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(list[i].U16(0), static_cast<uint16_t>(i));
}

TEST_F(FeedbackFrameTest, ByteOrderHelpers) {
  uint8_t out[4] = {};
  EXPECT_TRUE(PutF32BE(out, 4, 0, 1.0f));
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x3F, 0x80, 0x00, 0x00}));
  EXPECT_TRUE(PutU32BE(out, 0, 0x12345678));
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(GetU32BE(out, 0), 0x12345678u);
  EXPECT_TRUE(PutU16BE(out, 2, 0xBB85));
  EXPECT_EQ(out[2], 0xBB);
  EXPECT_EQ(out[3], 0x85);
  EXPECT_EQ(GetU16BE(out, 2), 0xBB85u);
  // A value that would not fit is neither written nor read, however large the offset.
  for (size_t offset : {size_t{1}, size_t{3}, size_t{4}, SIZE_MAX - 1, SIZE_MAX}) {
    EXPECT_FALSE(PutU32BE(out, offset, 0)) << offset;
    EXPECT_EQ(GetU32BE(out, offset), 0u) << offset;
  }
  EXPECT_FALSE(PutU16BE(out, 3, 0));
  EXPECT_FALSE(PutU16BE(nullptr, 4, 0, 0));
  EXPECT_EQ(GetU16BE(out, 3), 0u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x12, 0x34, 0xBB, 0x85}));
  EXPECT_EQ(SwapU16(0x1234), 0x3412u);
  EXPECT_EQ(SwapU32(0x12345678), 0x78563412u);
  // 5.0 is 40 A0 00 00; delivered the other way round it reads 00 00 A0 40.
  EXPECT_EQ(SwapF32(FloatFromBits(0x0000A040)), 5.0f);
  EXPECT_EQ(SwapF32(SwapF32(-123.25f)), -123.25f);
}

}  // namespace
