// MAC addresses in messages: six bytes as upper-case hex pairs joined by ".".
#pragma once

#include <cstddef>
#include <cstdint>

// Characters of a formatted MAC address, terminator included.
constexpr size_t kMacTextCapacity = 18;

// Writes mac[0..5] as "12.34.56.78.9A.BC" into out (capacity cap, at least
// kMacTextCapacity for the whole text; a smaller field gets it cut). Returns
// the length written.
size_t FormatMac(const uint8_t* mac, char* out, size_t cap);

template <size_t N>
inline size_t FormatMac(const uint8_t* mac, char (&out)[N]) {
  static_assert(N >= kMacTextCapacity, "a MAC text needs 18 characters");
  return FormatMac(mac, out, N);
}
