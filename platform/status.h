// Status codes of the platform layer. Operating-system error numbers are
// turned into these inside platform/; the raw OS code is kept beside them for
// messages.
#pragma once

#include <cstddef>

namespace platform {

enum Status {
  kOk = 0,
  kTimeout = 1,        // nothing happened before the deadline
  kRefused = 2,        // the peer refused the connection
  kClosed = 3,         // the peer closed the connection
  kUnreachable = 4,    // no route, host down, address not available
  kBadAddress = 5,     // the address text could not be understood
  kNotFound = 6,       // no such device or file
  kIoError = 7,        // any other failure of the operating system
  kNotOpen = 8,        // the object is not open
  kBadArgument = 9,    // null pointer or impossible size
  kNotRegular = 10,    // a path that names a directory, FIFO or device, not a file
  kWrongVersion = 11,  // the system library is not the version asked for
  kInUse = 12,         // another process (or object) holds the claim
};

const char* StatusText(int status);

// The operating system's text for one of its codes (errno on POSIX, the last
// error on Windows), cut to fit capacity, without a line end; returns buffer.
const char* OsErrorText(int osError, char* buffer, size_t capacity);

}  // namespace platform
