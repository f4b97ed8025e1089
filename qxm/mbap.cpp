#include "qxm/mbap.h"

#include "platform/byte_order.h"
#include "qxm/qxm_errors.h"

size_t RequestSize(const unsigned char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity < 8) return 0;
  size_t length = GetU16BE(buffer, capacity, 4);
  // The length counts the unit identifier and everything after it; a request
  // needs at least a unit and a function code.
  if (length < 2 || 6 + length > capacity) return 0;
  return 6 + length;
}

int CheckReplyHeader(const unsigned char* header, uint16_t transaction, uint8_t unit,
                     size_t capacity, size_t* bodyLength) {
  // Each field on its own: a reply to another request, or bytes that are not
  // Modbus TCP at all, must never be taken for the answer.
  if (GetU16BE(header, kMbapHeaderSize, 0) != transaction) return QXM_ERR_BAD_TRANSACTION;
  if (GetU16BE(header, kMbapHeaderSize, 2) != 0) return QXM_ERR_BAD_PROTOCOL;
  size_t length = GetU16BE(header, kMbapHeaderSize, 4);
  if (length < 2 || 6 + length > capacity) return QXM_ERR_BAD_LENGTH;
  if (header[6] != unit) return QXM_ERR_BAD_UNIT;
  *bodyLength = length - 1;
  return QXM_OK;
}

int CheckReplyFunction(const unsigned char* reply, size_t size, int* errorAddress) {
  if (size < kMbapHeaderSize + 1) return QXM_ERR_BAD_LENGTH;
  uint8_t function = reply[7];
  if (function == kFeedbackFunction) return QXM_OK;
  if (function == (kFeedbackFunction | kExceptionFlag)) {
    if (size < kMbapHeaderSize + 2) return QXM_ERR_BAD_LENGTH;
    if (errorAddress != nullptr) {
      *errorAddress = size >= kMbapHeaderSize + 4 ? GetU16BE(reply, size, 9) : 0;
    }
    return QXM_ERR_DEVICE_EXCEPTION_BASE + reply[8];
  }
  return QXM_ERR_BAD_FUNCTION;
}
