#include "tests/support/link_recorder.h"

#include <algorithm>

#include "platform/byte_order.h"
#include "sim/feedback.h"

void ForEachRecord(
    const Bytes& request,
    const std::function<void(bool write, uint16_t address, size_t count, size_t offset)>& fn) {
  qxsim::ForEachRecord(request.data(), request.size(), fn);
}

std::vector<uint32_t> LinkRecorder::WrittenU32(uint16_t address) const {
  std::vector<uint32_t> values;
  for (const Bytes& r : requests_) {
    ForEachRecord(r, [&](bool write, uint16_t a, size_t count, size_t offset) {
      if (write && a == address && count >= 2)
        values.push_back(GetU32BE(r.data(), r.size(), offset));
    });
  }
  return values;
}

bool LinkRecorder::Sent(const Bytes& bytes) const {
  return std::any_of(requests_.begin(), requests_.end(), [&](const Bytes& r) {
    return std::search(r.begin(), r.end(), bytes.begin(), bytes.end()) != r.end();
  });
}
