// The POSIX socket helpers that the station's sockets and the bench's
// listener share.
#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace platform {
namespace posix_socket {

// The platform status for an errno of a socket call.
int FromErrno(int err);
// Waits for the given poll events; kOk when they came, kTimeout, or an error.
int WaitFor(int fd, short events, uint32_t timeoutMs, int* osError);
// Numeric IPv4 addresses only, and "localhost".
bool NumericAddress(const char* host, in_addr* address);

}  // namespace posix_socket
}  // namespace platform
