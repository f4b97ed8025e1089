// Byte-order helpers. The device's registers are big-endian on the wire; the
// station keeps values in host order. All access goes through memcpy so that
// no buffer is ever read through a pointer of another type.
#pragma once

#include <cstdint>
#include <cstring>

inline void PutU16BE(uint16_t value, uint8_t* out) {
  out[0] = static_cast<uint8_t>(value >> 8);
  out[1] = static_cast<uint8_t>(value);
}

inline void PutU32BE(uint32_t value, uint8_t* out) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
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

inline void PutF32BE(float value, uint8_t* out) { PutU32BE(FloatBits(value), out); }

inline uint16_t GetU16BE(const uint8_t* in) {
  return static_cast<uint16_t>((static_cast<uint16_t>(in[0]) << 8) | in[1]);
}

inline uint32_t GetU32BE(const uint8_t* in) {
  return (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
         (static_cast<uint32_t>(in[2]) << 8) | static_cast<uint32_t>(in[3]);
}

inline float GetF32BE(const uint8_t* in) { return FloatFromBits(GetU32BE(in)); }

inline uint16_t SwapU16(uint16_t value) {
  return static_cast<uint16_t>((value >> 8) | (value << 8));
}

inline uint32_t SwapU32(uint32_t value) {
  return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u) |
         (value << 24);
}

// For values that a jig or the device delivers in the other byte order.
inline float SwapF32(float value) { return FloatFromBits(SwapU32(FloatBits(value))); }
