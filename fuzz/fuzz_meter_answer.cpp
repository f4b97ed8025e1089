// The bench meter's answer on any bytes: a value only for a whole, finite
// number, and never a read past the length given.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "instruments/meter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  // Exactly the bytes given: no terminator to lean on.
  std::vector<char> text(data, data + size);
  double value = 0.0;
  if (ParseMeterNumber(text.data(), static_cast<int>(text.size()), &value) &&
      !std::isfinite(value)) {
    std::abort();
  }
  return 0;
}
