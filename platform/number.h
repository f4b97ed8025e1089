// Whole numbers as a person types them on a command line or in a setting:
// decimal digits, or hexadecimal digits after "0x" (or "0X"). A leading zero
// is still decimal, never octal: 010 is ten, 08 is eight. No sign, no blanks,
// nothing after the digits.
#pragma once

#include <cstdint>

namespace platform {

// Decimal or 0x hexadecimal, at most max.
bool ParseWholeNumber(const char* text, uint64_t max, uint64_t* value);
// Decimal digits only, at most max (ports, protocol fields).
bool ParseDecimalNumber(const char* text, uint64_t max, uint64_t* value);
// A whole number with an optional '-' before it, within low ... high.
bool ParseSignedNumber(const char* text, int64_t low, int64_t high, int64_t* value);

}  // namespace platform
