// Value packing shared by the features: 32-bit values in two registers, high
// word first, and big-endian bytes in flash pages.
#pragma once

#include <cstdint>
#include <cstring>

namespace qxsim {

inline void PutU32(uint32_t v, uint16_t* regs) {
  regs[0] = static_cast<uint16_t>(v >> 16);
  regs[1] = static_cast<uint16_t>(v);
}

inline uint32_t GetU32(const uint16_t* regs) {
  return static_cast<uint32_t>(regs[0]) << 16 | regs[1];
}

inline void PutF32(float f, uint16_t* regs) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  PutU32(bits, regs);
}

inline float GetF32(const uint16_t* regs) {
  uint32_t bits = GetU32(regs);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

inline uint32_t GetU32BE(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline void PutU32BE(uint32_t v, uint8_t* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

}  // namespace qxsim
