#include "sim/feedback.h"

#include <cstring>

#include "platform/byte_order.h"
#include "sim/core/protocol.h"
#include "sim/virtual_device.h"

namespace qxsim {

namespace {

constexpr uint8_t kRecordRead = 0;
constexpr uint8_t kRecordWrite = 1;

// Room for a reply's data after its header.
constexpr size_t kReplyDataRoom = kMaxPacketBytes - kHeaderBytes;

// The reply's data after the function code into data; returns its size, or
// sets *e. pdu: the request's bytes after the function code.
size_t AnswerStandard(VirtualDevice& device, uint8_t function, const uint8_t* pdu, size_t size,
                      uint8_t* data, uint8_t* e, bool* restartRequested) {
  uint16_t values[kMaxReadRegisters];
  if (function == kReadHoldingRegisters || function == kReadInputRegisters) {
    size_t count = size == 4 ? GetU16BE(pdu, size, 2) : 0;
    if (count == 0 || count > kMaxReadRegisters) {
      *e = kIllegalDataValue;
      return 0;
    }
    *e = device.LinkRead(GetU16BE(pdu, size, 0), count, values);
    if (*e != kExceptionNone) return 0;
    data[0] = static_cast<uint8_t>(count * 2);
    for (size_t i = 0; i < count; ++i) PutU16BE(data, kReplyDataRoom, 1 + 2 * i, values[i]);
    return 1 + count * 2;
  }
  if (function == kWriteSingleRegister) {
    if (size != 4) {
      *e = kIllegalDataValue;
      return 0;
    }
    values[0] = GetU16BE(pdu, size, 2);
    *e = device.LinkWrite(GetU16BE(pdu, size, 0), 1, values, restartRequested);
    std::memcpy(data, pdu, 4);  // the request echoed
    return 4;
  }
  // Write multiple: address, count, byte count, the values.
  size_t count = size >= 5 ? GetU16BE(pdu, size, 2) : 0;
  if (count == 0 || count > kMaxWriteRegisters || pdu[4] != count * 2 || size != 5 + count * 2) {
    *e = kIllegalDataValue;
    return 0;
  }
  for (size_t i = 0; i < count; ++i) values[i] = GetU16BE(pdu, size, 5 + 2 * i);
  *e = device.LinkWrite(GetU16BE(pdu, size, 0), count, values, restartRequested);
  std::memcpy(data, pdu, 4);  // address and count
  return 4;
}

}  // namespace

uint8_t NextFeedbackRecord(const uint8_t* p, size_t length, size_t* at, FeedbackRecord* r) {
  size_t i = *at;
  if (length - i < 4) return kIllegalDataValue;
  uint8_t direction = p[i];
  *r = FeedbackRecord{direction == kRecordWrite, GetU16BE(p, length, i + 1), p[i + 3], nullptr};
  i += 4;
  if (direction != kRecordRead && direction != kRecordWrite) return kIllegalDataValue;
  if (r->count == 0) return kIllegalDataValue;
  if (r->write) {
    size_t bytes = size_t{r->count} * 2;
    if (length - i < bytes) return kIllegalDataValue;
    r->data = p + i;
    i += bytes;
  }
  *at = i;
  return kExceptionNone;
}

void ForEachRecord(
    const uint8_t* request, size_t size,
    const std::function<void(bool write, uint16_t address, size_t count, size_t offset)>& fn) {
  if (size <= kHeaderBytes || request[7] != kFeedbackFunction) return;
  const uint8_t* records = request + kHeaderBytes;
  size_t length = size - kHeaderBytes;
  size_t at = 0;
  size_t replyAt = 0;
  FeedbackRecord record;
  while (at < length && NextFeedbackRecord(records, length, &at, &record) == kExceptionNone) {
    if (record.write) {
      fn(true, record.address, record.count, static_cast<size_t>(record.data - request));
    } else {
      fn(false, record.address, record.count, replyAt);
      replyAt += size_t{record.count} * 2;
    }
  }
}

size_t AnswerRequest(VirtualDevice& device, const uint8_t* request, size_t length, uint8_t* reply,
                     bool* restartRequested) {
  *restartRequested = false;
  if (length < kHeaderBytes) return 0;
  uint8_t function = request[7];
  uint8_t* data = reply + kHeaderBytes;
  size_t body = 0;
  uint8_t e = kExceptionNone;
  if (length > kMaxPacketBytes) {
    e = kIllegalDataValue;
  } else if (function == kFeedbackFunction) {
    e = device.Feedback(request + kHeaderBytes, length - kHeaderBytes, data, &body,
                        restartRequested);
  } else if (function == kReadHoldingRegisters || function == kReadInputRegisters ||
             function == kWriteSingleRegister || function == kWriteMultipleRegisters) {
    body = AnswerStandard(device, function, request + kHeaderBytes, length - kHeaderBytes, data, &e,
                          restartRequested);
  } else {
    e = kIllegalFunction;
  }
  std::memcpy(reply, request, kHeaderBytes);
  if (e != kExceptionNone) {
    reply[7] = static_cast<uint8_t>(function | kExceptionFlag);
    data[0] = e;
    body = 1;
  }
  PutU16BE(reply, kMaxPacketBytes, 4, static_cast<uint16_t>(kHeaderBytes + body - kMbapBytes));
  return kHeaderBytes + body;
}

std::vector<uint8_t> AnswerRequest(VirtualDevice& device, const uint8_t* request, size_t length,
                                   bool* restartRequested) {
  std::vector<uint8_t> reply(kMaxPacketBytes);
  reply.resize(AnswerRequest(device, request, length, reply.data(), restartRequested));
  return reply;
}

uint16_t RequestFirstRegister(const uint8_t* request, size_t length) {
  if (length < kHeaderBytes + 2) return 0xFFFF;
  // A feedback record starts with its direction byte; the standard
  // functions start with the address.
  if (request[7] == kFeedbackFunction) {
    return length >= kHeaderBytes + 3 ? GetU16BE(request, length, kHeaderBytes + 1) : 0xFFFF;
  }
  return GetU16BE(request, length, kHeaderBytes);
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
