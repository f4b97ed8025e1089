// The Winsock helpers that the station's sockets and the bench's listener share.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>

namespace platform {
namespace win32_socket {

// The platform status for a Winsock error.
int FromWsa(int code);
SOCKET Sock(intptr_t handle);
bool SetNonBlocking(SOCKET s);
void NoDelay(SOCKET s);
// Numeric IPv4 addresses only, and "localhost".
int Resolve(const char* host, uint16_t port, sockaddr_in* addr);
// Waits until the socket can be read (or written); kOk, kTimeout, or a failure.
int WaitFor(SOCKET s, bool write, uint32_t timeoutMs, int* osError);

}  // namespace win32_socket
}  // namespace platform
