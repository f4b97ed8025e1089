#include "sim/core/feedback.h"

#include <cstring>

#include "sim/core/protocol.h"
#include "sim/core/virtual_device.h"

namespace qxsim {

namespace {

constexpr uint8_t kRecordRead = 0;
constexpr uint8_t kRecordWrite = 1;

void PutU16(std::vector<uint8_t>& bytes, size_t at, uint16_t v) {
  bytes[at] = static_cast<uint8_t>(v >> 8);
  bytes[at + 1] = static_cast<uint8_t>(v);
}

}  // namespace

uint8_t ParseFeedbackRecords(const uint8_t* p, size_t length, std::vector<FeedbackRecord>* out) {
  size_t at = 0;
  size_t replyBytes = kHeaderBytes;
  while (at < length) {
    if (length - at < 4) return kIllegalDataValue;
    uint8_t direction = p[at];
    FeedbackRecord r{direction == kRecordWrite, static_cast<uint16_t>(p[at + 1] << 8 | p[at + 2]),
                     p[at + 3], nullptr};
    at += 4;
    if (direction != kRecordRead && direction != kRecordWrite) return kIllegalDataValue;
    if (r.count == 0) return kIllegalDataValue;
    if (r.write) {
      size_t bytes = size_t{r.count} * 2;
      if (length - at < bytes) return kIllegalDataValue;
      r.data = p + at;
      at += bytes;
    } else {
      replyBytes += size_t{r.count} * 2;
      if (replyBytes > kMaxPacketBytes) return kIllegalDataValue;
    }
    out->push_back(r);
  }
  return kExceptionNone;
}

std::vector<uint8_t> AnswerRequest(VirtualDevice& device, const uint8_t* request, size_t length,
                                   bool* restartRequested) {
  *restartRequested = false;
  if (length < kHeaderBytes) return {};
  uint8_t function = request[7];
  std::vector<uint8_t> data;
  uint8_t e = kExceptionNone;
  if (length > kMaxPacketBytes) {
    e = kIllegalDataValue;
  } else if (function != kFeedbackFunction) {
    e = kIllegalFunction;
  } else {
    e = device.Feedback(request + kHeaderBytes, length - kHeaderBytes, &data);
    *restartRequested = device.TakeRestartRequest();
  }
  size_t body = e != kExceptionNone ? 1 : data.size();
  std::vector<uint8_t> reply(kHeaderBytes + body);
  std::memcpy(reply.data(), request, kHeaderBytes);
  if (e != kExceptionNone) {
    reply[7] = static_cast<uint8_t>(function | kExceptionFlag);
    reply[kHeaderBytes] = e;
  } else if (body > 0) {
    std::memcpy(reply.data() + kHeaderBytes, data.data(), body);
  }
  PutU16(reply, 4, static_cast<uint16_t>(reply.size() - kMbapBytes));
  return reply;
}

const char* SimExceptionName(uint8_t code) {
  switch (code) {
    case kExceptionNone:
      return "none";
    case kIllegalFunction:
      return "illegal function";
    case kIllegalDataAddress:
      return "illegal data address";
    case kIllegalDataValue:
      return "illegal data value";
    case kDeviceFailure:
      return "device failure";
    case kWrongFlashKey:
      return "wrong flash key";
    default:
      return "unknown exception";
  }
}

}  // namespace qxsim
