#include "device/link_errors.h"

#include "qxm/qxm.h"
#include "qxm/qxm_errors.h"

const char* LinkErrorToString(int32_t code) {
  switch (code) {
    case kLinkFlashBadArgument:
      return "flash length or range not allowed";
    case kLinkBadDirection:
      return "frame direction is neither read nor write";
    case kLinkBadDataType:
      return "frame data type not known";
    case kLinkTooManyRegisters:
      return "frame of more than 255 registers";
    case kLinkRequestTooLong:
      return "request does not fit the packet buffer";
    case kLinkReplyTooLong:
      return "reply would not fit the packet buffer";
    case kLinkShortReply:
      return "reply shorter than its read frames need";
    case kLinkOddValueCount:
      return "32-bit frame with an odd register count";
    case kLinkBadAddress:
      return "register address beyond 16 bits";
    case kLinkBadArgument:
      return "missing frames or result pointer";
    case kLinkStopped:
      return "stopped on request";
    case kLinkNoRoute:
      return "not known how the device was opened";
    default:
      break;
  }
  return QXM_ErrorToString(code);
}

int DeviceExceptionNumber(int32_t code) {
  int32_t number = code - QXM_ERR_DEVICE_EXCEPTION_BASE;
  return number > 0 && number < 256 ? static_cast<int>(number) : 0;
}
