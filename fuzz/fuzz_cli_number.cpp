// Whole numbers as the command lines and settings take them, on any text:
// accepted exactly when the text is decimal digits, or hexadecimal digits
// after "0x", of a value within the limit, and then read as that value
// (a leading zero never makes it octal). The limit comes from the first bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/cli.h"
#include "platform/number.h"

namespace {

// The digits as a number in base, compared with max without overflowing:
// -1 below or equal to max, 1 above; *value holds it when it fits.
int Compare(const std::string& digits, unsigned base, uint64_t max, uint64_t* value) {
  // Leading zeros carry no value; what is left is compared digit by digit
  // with max written in the same base.
  size_t first = digits.find_first_not_of('0');
  std::string significant = first == std::string::npos ? "" : digits.substr(first);
  std::string limit;
  for (uint64_t m = max; m != 0; m /= base)
    limit.insert(limit.begin(), "0123456789abcdef"[m % base]);
  std::string lower;
  for (char c : significant) lower += static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
  bool above = lower.size() != limit.size() ? lower.size() > limit.size() : lower > limit;
  if (above) return 1;
  *value = lower.empty() ? 0 : std::strtoull(lower.c_str(), nullptr, static_cast<int>(base));
  return -1;
}

bool AllDigits(const std::string& text, unsigned base) {
  if (text.empty()) return false;
  for (char c : text) {
    bool decimal = c >= '0' && c <= '9';
    bool hex = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!(decimal || (base == 16 && hex))) return false;
  }
  return true;
}

void Check(const std::string& text, uint64_t max) {
  uint64_t got = 12345;
  bool whole = platform::ParseWholeNumber(text.c_str(), max, &got);
  uint64_t cliGot = 12345;
  if (cli::ParseUnsigned(text.c_str(), max, &cliGot) != whole || (whole && cliGot != got)) {
    std::abort();
  }
  bool hex = text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::string digits = hex ? text.substr(2) : text;
  uint64_t expected = 0;
  bool valid =
      AllDigits(digits, hex ? 16 : 10) && Compare(digits, hex ? 16 : 10, max, &expected) < 0;
  if (whole != valid || (whole && got != expected)) std::abort();
  if (!whole && got != 12345) std::abort();  // a refusal leaves the value alone

  uint64_t decimal = 0;
  bool isDecimal = platform::ParseDecimalNumber(text.c_str(), max, &decimal);
  if (isDecimal != (!hex && valid) || (isDecimal && decimal != got)) std::abort();

  // Signed: the same after an optional minus, within a symmetric range.
  int64_t high = static_cast<int64_t>(max >> 1);
  int64_t s = 0;
  bool negative = !text.empty() && text[0] == '-';
  std::string magnitude = negative ? text.substr(1) : text;
  uint64_t m = 0;
  bool magnitudeOk = platform::ParseWholeNumber(magnitude.c_str(), static_cast<uint64_t>(high), &m);
  if (platform::ParseSignedNumber(text.c_str(), -high, high, &s) != magnitudeOk) std::abort();
  if (magnitudeOk && s != (negative ? -static_cast<int64_t>(m) : static_cast<int64_t>(m))) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 256) return 0;
  static const uint64_t kLimits[] = {0, 1, 9, 10, 31, 255, 65535, 0xFFFFFFFFu, UINT64_MAX};
  uint64_t max = kLimits[data[0] % (sizeof kLimits / sizeof kLimits[0])];
  // Embedded NULs end the text as they would on a command line.
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  text = text.c_str();
  Check(text, max);
  return 0;
}
