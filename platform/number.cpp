#include "platform/number.h"

namespace platform {

namespace {

int DigitValue(char c, unsigned base) {
  int d = -1;
  if (c >= '0' && c <= '9') d = c - '0';
  if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
  return d >= 0 && static_cast<unsigned>(d) < base ? d : -1;
}

// One or more digits of base up to the terminator, at most max.
bool ParseDigits(const char* text, unsigned base, uint64_t max, uint64_t* value) {
  if (text == nullptr || value == nullptr || *text == '\0') return false;
  uint64_t v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    int d = DigitValue(*p, base);
    if (d < 0) return false;
    uint64_t digit = static_cast<uint64_t>(d);
    if (digit > max || v > (max - digit) / base) return false;
    v = v * base + digit;
  }
  *value = v;
  return true;
}

}  // namespace

bool ParseWholeNumber(const char* text, uint64_t max, uint64_t* value) {
  if (text != nullptr && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    return ParseDigits(text + 2, 16, max, value);
  }
  return ParseDigits(text, 10, max, value);
}

bool ParseDecimalNumber(const char* text, uint64_t max, uint64_t* value) {
  return ParseDigits(text, 10, max, value);
}

bool ParseSignedNumber(const char* text, int64_t low, int64_t high, int64_t* value) {
  if (text == nullptr || value == nullptr || low > high) return false;
  bool negative = *text == '-';
  uint64_t magnitude = 0;
  // The magnitude of INT64_MIN is one more than INT64_MAX.
  uint64_t limit = negative ? uint64_t{1} << 63 : static_cast<uint64_t>(INT64_MAX);
  if (!ParseWholeNumber(negative ? text + 1 : text, limit, &magnitude)) return false;
  int64_t v = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

}  // namespace platform
