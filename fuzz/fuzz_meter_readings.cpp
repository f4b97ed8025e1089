// The bench meter's answer to a trigger, on any bytes: values only when every
// field is a reading with its separator, never a read past the answer; and
// readings as the meter writes them (from the fuzzer's numbers) come back as
// those numbers.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "instruments/meter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  int count = 1 + data[0] % kMeterMaxSamples;
  size_t length = size - 1;
  // Exactly the bytes given, on the heap, so that a read past them is caught.
  std::unique_ptr<char[]> answer(new char[length > 0 ? length : 1]);
  if (length > 0) std::memcpy(answer.get(), data + 1, length);
  double values[kMeterMaxSamples];
  if (ParseMeterAnswer(answer.get(), static_cast<int>(length), count, values)) {
    for (int i = 0; i < count; ++i) {
      if (!std::isfinite(values[i])) std::abort();
    }
  }

  // The same bytes as numbers, written in the meter's 15-character format.
  std::string written;
  double sent[kMeterMaxSamples];
  int n = 0;
  for (size_t at = 1; at + 8 <= size && n < kMeterMaxSamples; at += 8) {
    double v = 0;
    std::memcpy(&v, data + at, sizeof v);
    char field[32];
    int w = std::isfinite(v) ? std::snprintf(field, sizeof field, "%+.8E", v) : 0;
    if (w != kMeterNumberWidth) continue;  // beyond the meter's two exponent digits
    sent[n++] = std::strtod(field, nullptr);
    written += field;
    written += ',';
  }
  if (n == 0) return 0;
  written.back() = '\n';
  if (!ParseMeterAnswer(written.data(), static_cast<int>(written.size()), n, values)) std::abort();
  for (int i = 0; i < n; ++i) {
    if (values[i] != sent[i]) std::abort();
  }
  return 0;
}
