// Big-endian (most significant byte first) values in byte buffers: the byte
// order of the device's registers, of Modbus headers and of firmware files.
// Every access names the buffer's size and an offset; a value that would not
// fit is neither written (the put returns false) nor read (the get returns 0).
// Bytes are copied one by one, so no buffer is read through another type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// True when width bytes at offset lie inside a buffer of size bytes.
inline bool FitsAt(size_t size, size_t offset, size_t width) {
  return offset <= size && width <= size - offset;
}

inline bool PutU16BE(uint8_t* buffer, size_t size, size_t offset, uint16_t value) {
  if (buffer == nullptr || !FitsAt(size, offset, 2)) return false;
  buffer[offset] = static_cast<uint8_t>(value >> 8);
  buffer[offset + 1] = static_cast<uint8_t>(value);
  return true;
}

inline bool PutU32BE(uint8_t* buffer, size_t size, size_t offset, uint32_t value) {
  if (buffer == nullptr || !FitsAt(size, offset, 4)) return false;
  for (size_t i = 0; i < 4; ++i) buffer[offset + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  return true;
}

inline uint16_t GetU16BE(const uint8_t* buffer, size_t size, size_t offset) {
  if (buffer == nullptr || !FitsAt(size, offset, 2)) return 0;
  return static_cast<uint16_t>((buffer[offset] << 8) | buffer[offset + 1]);
}

inline uint32_t GetU32BE(const uint8_t* buffer, size_t size, size_t offset) {
  if (buffer == nullptr || !FitsAt(size, offset, 4)) return 0;
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = (value << 8) | buffer[offset + i];
  return value;
}

inline uint32_t FloatBits(float value) {
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

inline float FloatFromBits(uint32_t bits) {
  float value = 0.0f;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

inline bool PutF32BE(uint8_t* buffer, size_t size, size_t offset, float value) {
  return PutU32BE(buffer, size, offset, FloatBits(value));
}

inline float GetF32BE(const uint8_t* buffer, size_t size, size_t offset) {
  return FloatFromBits(GetU32BE(buffer, size, offset));
}

// Fixed arrays carry their size.
template <size_t N>
bool PutU16BE(uint8_t (&buffer)[N], size_t offset, uint16_t value) {
  return PutU16BE(buffer, N, offset, value);
}
template <size_t N>
bool PutU32BE(uint8_t (&buffer)[N], size_t offset, uint32_t value) {
  return PutU32BE(buffer, N, offset, value);
}
template <size_t N>
uint16_t GetU16BE(const uint8_t (&buffer)[N], size_t offset) {
  return GetU16BE(buffer, N, offset);
}
template <size_t N>
uint32_t GetU32BE(const uint8_t (&buffer)[N], size_t offset) {
  return GetU32BE(buffer, N, offset);
}

inline uint16_t SwapU16(uint16_t value) {
  return static_cast<uint16_t>((value >> 8) | (value << 8));
}

inline uint32_t SwapU32(uint32_t value) {
  return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u) |
         (value << 24);
}

// For values that a jig or the device delivers in the other byte order.
inline float SwapF32(float value) { return FloatFromBits(SwapU32(FloatBits(value))); }
