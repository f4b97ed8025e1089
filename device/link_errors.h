// Codes of the device link itself, beside the device-access library's codes
// (qxm/qxm_errors.h), which the link passes up unchanged. None of them has 3
// in its lowest four bits, the pattern that makes the exchange read the
// device's error registers.
#pragma once

#include <cstdint>

enum LinkError : int32_t {
  // A flash operation's bad argument: odd write length, range leaving its page.
  kLinkFlashBadArgument = 1,
  // Refused before anything is sent:
  kLinkBadDirection = 256,      // a frame neither Read nor Write
  kLinkBadDataType = 257,       // a frame data type above 4
  kLinkTooManyRegisters = 258,  // a frame of more than 255 registers
  kLinkRequestTooLong = 260,    // the request would not fit the packet buffer
  kLinkReplyTooLong = 261,      // the reply to the read frames would not fit it
  kLinkOddValueCount = 263,     // a U32/F32 frame with an odd register count
  kLinkBadAddress = 264,        // a register address beyond 16 bits
  kLinkBadArgument = 265,       // negative frame count, null frames or out pointer
  kLinkStopped = 266,           // a stop was requested: no further operation starts
  kLinkNoRoute = 268,           // a handle that was not opened through OpenDeviceLink
  // Found in the reply:
  kLinkShortReply = 262,  // the reply carries less data than its read frames need
};

// The text for a link code; any other code is the library's and gets its text.
const char* LinkErrorToString(int32_t code);
// The device's own exception number (1..255) behind a library code, or 0 when
// the code is not a device exception.
int DeviceExceptionNumber(int32_t code);
