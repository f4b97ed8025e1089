#include "platform/status.h"

namespace platform {

const char* StatusText(int status) {
  switch (status) {
    case kOk:
      return "ok";
    case kTimeout:
      return "timed out";
    case kRefused:
      return "connection refused";
    case kClosed:
      return "connection closed by peer";
    case kUnreachable:
      return "unreachable";
    case kBadAddress:
      return "bad address";
    case kNotFound:
      return "not found";
    case kIoError:
      return "input/output error";
    case kNotOpen:
      return "not open";
    case kBadArgument:
      return "bad argument";
    case kNotRegular:
      return "not a regular file";
    case kWrongVersion:
      return "wrong library version";
    case kInUse:
      return "in use";
    default:
      return "unknown status";
  }
}

}  // namespace platform
