#include "device/feedback_frame.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/byte_order.h"

namespace {

// An unconfigured frame names no direction, so that the exchange refuses it.
constexpr FrameDirection kNoDirection = static_cast<FrameDirection>(0);

// Truncates toward zero into 64 bits without the undefined behaviour of an
// out-of-range conversion: NaN gives 0, values beyond the range are clamped.
int64_t TruncateToInt64(double value) {
  if (std::isnan(value)) return 0;
  // 2^63 is exactly representable; anything at or above it does not fit.
  constexpr double kLimit = 9223372036854775808.0;
  if (value >= kLimit) return std::numeric_limits<int64_t>::max();
  if (value < -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

// Rounds to float as IEEE-754 does, without the undefined behaviour of a
// plain conversion beyond the float range: up to half a unit past the largest
// float the result is that float, further out the infinity of that sign.
float RoundToFloat(double value) {
  constexpr double kMax = static_cast<double>(std::numeric_limits<float>::max());
  if (std::isfinite(value) && std::fabs(value) > kMax) {
    const double halfUnit = std::ldexp(1.0, 103);  // half the spacing of floats at the top
    const float magnitude = std::fabs(value) < kMax + halfUnit
                                ? std::numeric_limits<float>::max()
                                : std::numeric_limits<float>::infinity();
    return value > 0 ? magnitude : -magnitude;
  }
  return static_cast<float>(value);
}

}  // namespace

FeedbackFrame::FeedbackFrame()
    : direction_(kNoDirection),
      address_(0),
      registerCount_(0),
      dataType_(FrameDataType::Bytes),
      byteCount_(0) {}

FeedbackFrame::FeedbackFrame(FrameDirection direction, uint32_t address, uint32_t registerCount,
                             FrameDataType dataType)
    : FeedbackFrame() {
  Set(direction, address, registerCount, dataType);
}

FeedbackFrame::FeedbackFrame(FrameDirection direction, uint32_t address, uint32_t registerCount,
                             FrameDataType dataType, double value)
    : FeedbackFrame() {
  Set(direction, address, registerCount, dataType, value);
}

FeedbackFrame::FeedbackFrame(FrameDirection direction, uint32_t address, uint32_t registerCount,
                             FrameDataType dataType, int value)
    : FeedbackFrame() {
  Set(direction, address, registerCount, dataType, value);
}

FeedbackFrame::FeedbackFrame(FrameDirection direction, uint32_t address, uint32_t registerCount,
                             FrameDataType dataType, const uint8_t* data)
    : FeedbackFrame() {
  Set(direction, address, registerCount, dataType, data);
}

FeedbackFrame::FeedbackFrame(const FeedbackFrame& other)
    : direction_(other.direction_),
      address_(other.address_),
      registerCount_(other.registerCount_),
      dataType_(other.dataType_),
      byteCount_(other.byteCount_) {
  if (byteCount_ > 0) {
    buffer_ = std::make_unique<uint8_t[]>(byteCount_);
    std::memcpy(buffer_.get(), other.buffer_.get(), byteCount_);
  }
}

FeedbackFrame& FeedbackFrame::operator=(const FeedbackFrame& other) {
  if (this != &other) {
    FeedbackFrame copy(other);
    *this = std::move(copy);
  }
  return *this;
}

FeedbackFrame::FeedbackFrame(FeedbackFrame&& other) noexcept
    : direction_(other.direction_),
      address_(other.address_),
      registerCount_(other.registerCount_),
      dataType_(other.dataType_),
      buffer_(std::move(other.buffer_)),
      byteCount_(other.byteCount_) {
  other.direction_ = kNoDirection;
  other.address_ = 0;
  other.registerCount_ = 0;
  other.dataType_ = FrameDataType::Bytes;
  other.byteCount_ = 0;
}

FeedbackFrame& FeedbackFrame::operator=(FeedbackFrame&& other) noexcept {
  if (this != &other) {
    direction_ = other.direction_;
    address_ = other.address_;
    registerCount_ = other.registerCount_;
    dataType_ = other.dataType_;
    buffer_ = std::move(other.buffer_);
    byteCount_ = other.byteCount_;
    other.direction_ = kNoDirection;
    other.address_ = 0;
    other.registerCount_ = 0;
    other.dataType_ = FrameDataType::Bytes;
    other.byteCount_ = 0;
  }
  return *this;
}

void FeedbackFrame::Configure(FrameDirection direction, uint32_t address, uint32_t registerCount,
                              FrameDataType dataType) {
  direction_ = direction;
  address_ = address;
  registerCount_ = registerCount;
  dataType_ = dataType;
  buffer_.reset();
  byteCount_ = 0;
  if (registerCount > 0 && registerCount <= kMaxFrameRegisters) {
    byteCount_ = static_cast<size_t>(registerCount) * 2;
    // Zero-filled, so that a read frame never exposes stale memory.
    buffer_ = std::make_unique<uint8_t[]>(byteCount_);
  }
}

void FeedbackFrame::Set(FrameDirection direction, uint32_t address, uint32_t registerCount,
                        FrameDataType dataType) {
  Configure(direction, address, registerCount, dataType);
}

void FeedbackFrame::Set(FrameDirection direction, uint32_t address, uint32_t registerCount,
                        FrameDataType dataType, double value) {
  Configure(direction, address, registerCount, dataType);
  StoreValue(value);
}

void FeedbackFrame::Set(FrameDirection direction, uint32_t address, uint32_t registerCount,
                        FrameDataType dataType, int value) {
  Set(direction, address, registerCount, dataType, static_cast<double>(value));
}

void FeedbackFrame::Set(FrameDirection direction, uint32_t address, uint32_t registerCount,
                        FrameDataType dataType, const uint8_t* data) {
  Configure(direction, address, registerCount, dataType);
  CopyArray(data);
}

void FeedbackFrame::StoreValue(double value) {
  // Two's-complement wrap of the truncated value: the low bits are kept.
  const uint64_t bits = static_cast<uint64_t>(TruncateToInt64(value));
  switch (dataType_) {
    case FrameDataType::Bytes:
      if (byteCount_ >= 1) buffer_[0] = static_cast<uint8_t>(bits);
      break;
    case FrameDataType::U16:
      SetU16(0, static_cast<uint16_t>(bits));
      break;
    case FrameDataType::U32:
      SetU32(0, static_cast<uint32_t>(bits));
      break;
    case FrameDataType::F32:
      SetF32(0, RoundToFloat(value));
      break;
    default:
      break;
  }
}

void FeedbackFrame::CopyArray(const uint8_t* data) {
  if (data == nullptr) return;
  size_t count = 0;
  switch (dataType_) {
    case FrameDataType::Bytes:
    case FrameDataType::U16:
      count = byteCount_;
      break;
    case FrameDataType::U32:
    case FrameDataType::F32:
      count = U32Count() * 4;
      break;
    default:
      break;
  }
  if (count > 0) std::memcpy(buffer_.get(), data, count);
}

uint16_t FeedbackFrame::U16(size_t index) const {
  if (index >= U16Count()) return 0;
  uint16_t value = 0;
  std::memcpy(&value, buffer_.get() + index * 2, sizeof value);
  return value;
}

void FeedbackFrame::SetU16(size_t index, uint16_t value) {
  if (index >= U16Count()) return;
  std::memcpy(buffer_.get() + index * 2, &value, sizeof value);
}

uint32_t FeedbackFrame::U32(size_t index) const {
  if (index >= U32Count()) return 0;
  uint32_t value = 0;
  std::memcpy(&value, buffer_.get() + index * 4, sizeof value);
  return value;
}

void FeedbackFrame::SetU32(size_t index, uint32_t value) {
  if (index >= U32Count()) return;
  std::memcpy(buffer_.get() + index * 4, &value, sizeof value);
}

float FeedbackFrame::F32(size_t index) const { return FloatFromBits(U32(index)); }

void FeedbackFrame::SetF32(size_t index, float value) { SetU32(index, FloatBits(value)); }
