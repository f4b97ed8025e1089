#include "qxm/qxm.h"
#include "qxm/qxm_errors.h"

extern "C" const char* QXM_ErrorToString(int code) {
  switch (code) {
    case QXM_OK:
      return "success";
    case QXM_ERR_INVALID_HANDLE:
      return "no open device behind the handle";
    case QXM_ERR_BAD_ARGUMENT:
      return "null pointer or malformed request";
    case QXM_ERR_UNKNOWN_DEVICE_TYPE:
      return "unknown device type";
    case QXM_ERR_UNKNOWN_CONNECTION:
      return "unknown connection type";
    case QXM_ERR_BAD_IDENTIFIER:
      return "identifier is not an address";
    case QXM_ERR_NO_ANSWER:
      return "device did not answer";
    case QXM_ERR_REFUSED:
      return "connection refused";
    case QXM_ERR_TOO_MANY_HANDLES:
      return "too many open devices";
    case QXM_ERR_REQUEST_TOO_LONG:
      return "request does not fit the buffer";
    case QXM_ERR_SEND_FAILED:
      return "request could not be sent";
    case QXM_ERR_REPLY_TIMEOUT:
      return "no reply within the time-out";
    case QXM_ERR_CONNECTION_LOST:
      return "device closed the connection";
    case QXM_ERR_BAD_TRANSACTION:
      return "reply has a wrong transaction identifier";
    case QXM_ERR_BAD_PROTOCOL:
      return "reply has a wrong protocol identifier";
    case QXM_ERR_BAD_LENGTH:
      return "reply has a wrong length";
    case QXM_ERR_BAD_FUNCTION:
      return "reply has a wrong function code";
    case QXM_ERR_BAD_UNIT:
      return "reply has a wrong unit identifier";
    case QXM_ERR_NO_SOCKETS:
      return "socket library cannot start";
    default:
      break;
  }
  if (code > QXM_ERR_DEVICE_EXCEPTION_BASE && code < QXM_ERR_DEVICE_EXCEPTION_BASE + 256) {
    return "device exception";
  }
  return "unknown code";
}
