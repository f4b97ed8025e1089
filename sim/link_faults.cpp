#include "sim/link_faults.h"

#include <cstring>

#include "platform/byte_order.h"
#include "qxm/qxm_errors.h"
#include "sim/core/protocol.h"
#include "sim/feedback.h"

namespace qxsim {

namespace {

// A frame's size as its length field says; of one longer than the buffer,
// only its header is there.
size_t FrameBytes(const unsigned char* frame) {
  size_t size = kMbapBytes + GetU16BE(frame, kMaxPacketBytes, 4);
  return size <= kMaxPacketBytes ? size : kHeaderBytes;
}

}  // namespace

void CorruptHeader(uint8_t* reply, size_t size, HeaderFault fault) {
  if (size < kHeaderBytes) return;
  switch (fault) {
    case HeaderFault::kNone:
      break;
    case HeaderFault::kTransactionId:
      PutU16BE(reply, size, 0, static_cast<uint16_t>(GetU16BE(reply, size, 0) + 1));
      break;
    case HeaderFault::kProtocol:
      PutU16BE(reply, size, 2, 1);
      break;
    case HeaderFault::kLength:
      PutU16BE(reply, size, 4, static_cast<uint16_t>(kMaxPacketBytes - kMbapBytes + 1));
      break;
    case HeaderFault::kUnit:
      reply[6] = static_cast<uint8_t>(reply[6] + 1);
      break;
    case HeaderFault::kFunction:
      reply[7] ^= 0x01;
      break;
  }
}

bool ParseHeaderFault(const std::string& text, HeaderFault* fault) {
  for (HeaderFault f : {HeaderFault::kTransactionId, HeaderFault::kProtocol, HeaderFault::kLength,
                        HeaderFault::kUnit, HeaderFault::kFunction, HeaderFault::kNone}) {
    if (text == HeaderFaultName(f)) {
      *fault = f;
      return true;
    }
  }
  return false;
}

const char* HeaderFaultName(HeaderFault fault) {
  switch (fault) {
    case HeaderFault::kNone:
      return "none";
    case HeaderFault::kTransactionId:
      return "tid";
    case HeaderFault::kProtocol:
      return "protocol";
    case HeaderFault::kLength:
      return "length";
    case HeaderFault::kUnit:
      return "unit";
    case HeaderFault::kFunction:
      return "function";
  }
  return "none";
}

int DeviceLink::Exchange(unsigned char* buffer, int*) {
  size_t size = kMbapBytes + GetU16BE(buffer, kMaxPacketBytes, 4);
  bool restart = false;
  size_t reply = AnswerRequest(device_, buffer, size, reply_, &restart);
  restartRequested_ = restartRequested_ || restart;
  if (reply == 0) return QXM_ERR_REPLY_TIMEOUT;  // no header: nothing to answer
  std::memcpy(buffer, reply_, reply);
  return QXM_OK;
}

int FaultyLink::Exchange(unsigned char* buffer, int* errorAddress) {
  replyBytes_ = 0;
  ++carried_;
  if (faults_.dropAfter >= 0 && carried_ > static_cast<uint64_t>(faults_.dropAfter)) {
    return QXM_ERR_CONNECTION_LOST;
  }
  const bool harmless = faults_.after > 0 || faults_.times == 0;
  if (faults_.after > 0) --faults_.after;
  if (!harmless && faults_.times > 0) --faults_.times;
  if (!harmless && faults_.noAnswer) return QXM_ERR_REPLY_TIMEOUT;
  if (!harmless && faults_.drop) return QXM_ERR_CONNECTION_LOST;

  bool refused = false;
  unsigned char request[kMaxPacketBytes];
  const size_t requestBytes = FrameBytes(buffer);
  if (!harmless) {
    ForEachRecord(buffer, requestBytes, [&](bool, uint16_t address, size_t count, size_t) {
      refused |= faults_.exceptionRegister >= address &&
                 faults_.exceptionRegister < static_cast<int>(address + count);
    });
    if (!faults_.misread.empty()) std::memcpy(request, buffer, requestBytes);
  }
  if (refused) {
    Refuse(buffer);
  } else {
    int code = inner_.Exchange(buffer, errorAddress);
    if (code != QXM_OK) return code;
  }
  replyBytes_ = FrameBytes(buffer);
  if (harmless) return QXM_OK;
  const bool data = replyBytes_ >= kHeaderBytes && buffer[7] == kFeedbackFunction;
  if (data && !faults_.misread.empty()) Misread(request, buffer);
  if (data && faults_.cutReplyTo >= 0) Cut(buffer);
  CorruptHeader(buffer, replyBytes_, faults_.corruptHeader);
  return faults_.slowMs > 0 ? hold_(faults_.slowMs) : QXM_OK;
}

void FaultyLink::Refuse(unsigned char* buffer) {
  PutU16BE(buffer, kMaxPacketBytes, 4, 3);  // unit, function, code
  buffer[7] |= kExceptionFlag;
  buffer[8] = faults_.exceptionCode;
}

void FaultyLink::Misread(const unsigned char* request, unsigned char* reply) {
  ForEachRecord(request, FrameBytes(request),
                [&](bool write, uint16_t address, size_t count, size_t offset) {
                  for (size_t i = 0; i < count && !write; ++i) {
                    auto it = faults_.misread.find(static_cast<uint16_t>(address + i));
                    size_t at = kHeaderBytes + offset + 2 * i;
                    if (it == faults_.misread.end() || at + 2 > replyBytes_) continue;
                    PutU16BE(reply, replyBytes_, at, it->second);
                  }
                });
}

void FaultyLink::Cut(unsigned char* reply) {
  size_t cut = kHeaderBytes + static_cast<size_t>(faults_.cutReplyTo);
  if (replyBytes_ <= cut) return;
  replyBytes_ = cut;
  PutU16BE(reply, kMaxPacketBytes, 4, static_cast<uint16_t>(replyBytes_ - kMbapBytes));
}

}  // namespace qxsim
