#include "tests/support/link_recorder.h"

#include <algorithm>

#include "device/feedback_exchange.h"
#include "platform/byte_order.h"

void ForEachRecord(
    const Bytes& request,
    const std::function<void(bool write, uint16_t address, size_t count, size_t offset)>& fn) {
  size_t at = kFeedbackHeaderSize;
  size_t replyAt = 0;
  while (at + kFeedbackRecordSize <= request.size()) {
    const bool write = request[at] == 1;
    const uint16_t address = GetU16BE(request.data(), request.size(), at + 1);
    const size_t count = request[at + 3];
    at += kFeedbackRecordSize;
    if (write) {
      if (at + 2 * count > request.size()) return;
      fn(true, address, count, at);
      at += 2 * count;
    } else {
      fn(false, address, count, replyAt);
      replyAt += 2 * count;
    }
  }
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
