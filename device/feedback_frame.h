// One register operation of a feedback exchange: read or write a run of 16-bit
// device registers. The frame owns its data buffer (registerCount x 2 bytes);
// the four views (bytes, u16, u32, f32) are accessors on that one storage and
// hold values in host order. The exchange converts to the device's big-endian
// order while it builds and parses the packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

enum class FrameDirection : uint32_t { Read = 1, Write = 2 };

enum class FrameDataType : uint32_t {
  Bytes = 0,
  U16 = 1,
  U32 = 2,
  F32 = 3,
  // Carries no values: a write sends zero bytes, a read skips its reply data
  // (so that the frames after it stay aligned). No station frame uses it.
  Reserved = 4,
};

// The most registers one frame can carry (the count goes on the wire as one
// byte). A frame configured with more keeps its count, so that the exchange
// can refuse it, but holds no storage.
constexpr uint32_t kMaxFrameRegisters = 255;

class FeedbackFrame {
 public:
  // No buffer; to be configured with Set.
  FeedbackFrame();
  // Configures and allocates (read frames).
  FeedbackFrame(FrameDirection direction, uint32_t address, uint32_t registerCount,
                FrameDataType dataType);
  // Configures, allocates and stores one value as the first element.
  FeedbackFrame(FrameDirection direction, uint32_t address, uint32_t registerCount,
                FrameDataType dataType, double value);
  FeedbackFrame(FrameDirection direction, uint32_t address, uint32_t registerCount,
                FrameDataType dataType, int value);
  // Any other arithmetic value (u32, u16, float, ...) goes through the double
  // form; without this, a u32 argument would be ambiguous between int and double.
  template <typename T, typename = std::enable_if_t<std::is_arithmetic<T>::value>>
  FeedbackFrame(FrameDirection direction, uint32_t address, uint32_t registerCount,
                FrameDataType dataType, T value)
      : FeedbackFrame(direction, address, registerCount, dataType, static_cast<double>(value)) {}
  // Configures, allocates and copies an array read in the data type's own
  // element type (see Set). A null data pointer copies nothing.
  FeedbackFrame(FrameDirection direction, uint32_t address, uint32_t registerCount,
                FrameDataType dataType, const uint8_t* data);

  // Deep copies; a moved-from frame is left empty (as default-constructed).
  FeedbackFrame(const FeedbackFrame& other);
  FeedbackFrame& operator=(const FeedbackFrame& other);
  FeedbackFrame(FeedbackFrame&& other) noexcept;
  FeedbackFrame& operator=(FeedbackFrame&& other) noexcept;
  ~FeedbackFrame() = default;

  // Re-configures: the old buffer is released and a new one, zero-filled,
  // of the new size is allocated.
  void Set(FrameDirection direction, uint32_t address, uint32_t registerCount,
           FrameDataType dataType);
  // Re-configures and stores one value into the first element:
  //   Bytes: low 8 bits of the value truncated to an integer, into byte 0;
  //   U16:   low 16 bits of the truncated value, into u16 element 0;
  //   U32:   low 32 bits of the value truncated to 64 bits, into u32 element 0
  //          (every u32 passed as a double survives unchanged);
  //   F32:   the value rounded to float, into f32 element 0;
  //   other: nothing stored.
  // NaN stores 0 in the integer types; values beyond the 64-bit range are
  // clamped before the low bits are taken.
  void Set(FrameDirection direction, uint32_t address, uint32_t registerCount,
           FrameDataType dataType, double value);
  void Set(FrameDirection direction, uint32_t address, uint32_t registerCount,
           FrameDataType dataType, int value);
  template <typename T, typename = std::enable_if_t<std::is_arithmetic<T>::value>>
  void Set(FrameDirection direction, uint32_t address, uint32_t registerCount,
           FrameDataType dataType, T value) {
    Set(direction, address, registerCount, dataType, static_cast<double>(value));
  }
  // Re-configures and copies an array, data read in its own element type:
  //   Bytes: registerCount x 2 bytes; U16: registerCount u16 values;
  //   U32/F32: registerCount / 2 values of 4 bytes; other: nothing.
  void Set(FrameDirection direction, uint32_t address, uint32_t registerCount,
           FrameDataType dataType, const uint8_t* data);

  FrameDirection direction() const { return direction_; }
  uint32_t address() const { return address_; }
  uint32_t registerCount() const { return registerCount_; }
  FrameDataType dataType() const { return dataType_; }

  // The byte view. ByteCount() is the storage size: registerCount x 2, or 0
  // for an empty frame or one of more than kMaxFrameRegisters registers.
  uint8_t* Bytes() { return buffer_.get(); }
  const uint8_t* Bytes() const { return buffer_.get(); }
  size_t ByteCount() const { return byteCount_; }
  size_t U16Count() const { return byteCount_ / 2; }
  size_t U32Count() const { return byteCount_ / 4; }

  // The u16, u32 and f32 views. An index beyond the storage reads 0 and
  // writes nothing.
  uint16_t U16(size_t index) const;
  void SetU16(size_t index, uint16_t value);
  uint32_t U32(size_t index) const;
  void SetU32(size_t index, uint32_t value);
  float F32(size_t index) const;
  void SetF32(size_t index, float value);

 private:
  void Configure(FrameDirection direction, uint32_t address, uint32_t registerCount,
                 FrameDataType dataType);
  void StoreValue(double value);
  void CopyArray(const uint8_t* data);

  FrameDirection direction_;
  uint32_t address_;
  uint32_t registerCount_;
  FrameDataType dataType_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t byteCount_;
};
