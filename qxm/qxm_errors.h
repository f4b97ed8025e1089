// Every code the device-access library returns. Codes whose lowest four bits
// are 3, and 1211, make the station read the device's error registers after
// the exchange, so library-side failures keep clear of that pattern; only the
// device's own exception replies (1200 + exception code) may match it.
#pragma once

enum QxmError {
  QXM_OK = 0,
  QXM_ERR_INVALID_HANDLE = 1000,        // no open device behind the handle
  QXM_ERR_BAD_ARGUMENT = 1001,          // a null pointer or a malformed request
  QXM_ERR_UNKNOWN_DEVICE_TYPE = 1002,   // device-type text not recognised
  QXM_ERR_UNKNOWN_CONNECTION = 1004,    // connection-type text not recognised
  QXM_ERR_BAD_IDENTIFIER = 1005,        // identifier is not an address or host:port
  QXM_ERR_NO_ANSWER = 1006,             // the device did not answer the connect in time
  QXM_ERR_REFUSED = 1007,               // the connection was refused
  QXM_ERR_TOO_MANY_HANDLES = 1008,      // every handle slot is in use
  QXM_ERR_REQUEST_TOO_LONG = 1009,      // the request's length does not fit the buffer
  QXM_ERR_SEND_FAILED = 1010,           // the request could not be sent
  QXM_ERR_REPLY_TIMEOUT = 1012,         // no complete reply within the reply time-out
  QXM_ERR_CONNECTION_LOST = 1014,       // the device closed the connection
  QXM_ERR_BAD_TRANSACTION = 1015,       // reply's transaction identifier differs
  QXM_ERR_BAD_PROTOCOL = 1016,          // reply's protocol identifier is not 0
  QXM_ERR_BAD_LENGTH = 1017,            // reply's length field is out of range
  QXM_ERR_BAD_FUNCTION = 1018,          // reply's function code is not 76
  QXM_ERR_BAD_UNIT = 1020,              // reply's unit identifier differs
  QXM_ERR_NO_SOCKETS = 1021,            // the socket library cannot start
  QXM_ERR_DEVICE_EXCEPTION_BASE = 1200  // + Modbus exception code of the device
};
