// TCP client sockets on Winsock. Sockets are non-blocking and every wait goes
// through select with the time left. The listener is the bench's
// (platform/host/win32/); the waker and Poll are POSIX-only.
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstring>

#include "platform/clock.h"
#include "platform/status.h"
#include "platform/win32/socket_os.h"

namespace platform {

namespace win32_socket {

int FromWsa(int code) {
  switch (code) {
    case WSAECONNREFUSED:
      return kRefused;
    case WSAETIMEDOUT:
      return kTimeout;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENOTCONN:
    case WSAESHUTDOWN:
      return kClosed;
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAEADDRNOTAVAIL:
    case WSAENETDOWN:
      return kUnreachable;
    default:
      return kIoError;
  }
}

SOCKET Sock(intptr_t handle) { return static_cast<SOCKET>(handle); }

bool SetNonBlocking(SOCKET s) {
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}

void NoDelay(SOCKET s) {
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

// Numeric IPv4 addresses only, and "localhost": a name lookup may wait on a
// name server for as long as it likes, and no wait here may be unbounded.
int Resolve(const char* host, uint16_t port, sockaddr_in* addr) {
  *addr = sockaddr_in{};
  addr->sin_family = AF_INET;
  addr->sin_port = htons(port);
  if (std::strcmp(host, "localhost") == 0) host = "127.0.0.1";
  return inet_pton(AF_INET, host, &addr->sin_addr) == 1 ? kOk : kBadAddress;
}

// Waits until the socket can be read (or written); kOk, kTimeout, or the
// socket's own failure (a connect that failed shows in the except set).
int WaitFor(SOCKET s, bool write, uint32_t timeoutMs, int* osError) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(s, &ready);
  FD_SET(s, &failed);
  // select takes no more than 2^31-1 ms as a bound here either.
  const uint32_t ms = static_cast<uint32_t>(OsWaitMs(timeoutMs));
  timeval tv{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
  int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tv);
  if (n == 0) return kTimeout;
  if (n == SOCKET_ERROR) {
    *osError = WSAGetLastError();
    return FromWsa(*osError);
  }
  if (FD_ISSET(s, &failed)) {
    int soError = 0;
    int len = sizeof soError;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
    *osError = soError != 0 ? soError : WSAECONNREFUSED;
    return FromWsa(*osError);
  }
  return kOk;
}

}  // namespace win32_socket

using namespace win32_socket;

namespace {

int Clamp(size_t length) { return length > INT_MAX ? INT_MAX : static_cast<int>(length); }

}  // namespace

void TcpSocket::Close() {
  if (handle_ >= 0) {
    closesocket(Sock(handle_));
    handle_ = -1;
  }
}

void TcpSocket::Shutdown() {
  if (handle_ >= 0) shutdown(Sock(handle_), SD_BOTH);
}

int TcpSocket::Connect(const char* host, uint16_t port, uint32_t timeoutMs) {
  Close();
  lastOsError_ = 0;
  if (host == nullptr || host[0] == '\0' || port == 0) return kBadAddress;
  sockaddr_in addr;
  if (Resolve(host, port, &addr) != kOk) return kBadAddress;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    lastOsError_ = WSAGetLastError();
    return kIoError;
  }
  SetNonBlocking(s);
  NoDelay(s);
  if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int code = WSAGetLastError();
    if (code != WSAEWOULDBLOCK) {
      lastOsError_ = code;
      closesocket(s);
      return FromWsa(code);
    }
    int status = WaitFor(s, true, timeoutMs, &lastOsError_);
    if (status != kOk) {
      closesocket(s);
      return status;
    }
  }
  handle_ = static_cast<intptr_t>(s);
  return kOk;
}

int TcpSocket::SendAll(const void* data, size_t length, uint32_t timeoutMs) {
  if (handle_ < 0) return kNotOpen;
  if (data == nullptr && length > 0) return kBadArgument;
  const char* p = static_cast<const char*>(data);
  Deadline deadline(timeoutMs);
  while (length > 0) {
    int n = send(Sock(handle_), p, Clamp(length), 0);
    if (n > 0) {
      p += n;
      length -= static_cast<size_t>(n);
      continue;
    }
    int code = WSAGetLastError();
    if (n == SOCKET_ERROR && code == WSAEWOULDBLOCK) {
      int status = WaitFor(Sock(handle_), true, deadline.RemainingMs(), &lastOsError_);
      if (status != kOk) return status;
      continue;
    }
    lastOsError_ = code;
    return FromWsa(code);
  }
  return kOk;
}

int TcpSocket::Receive(void* buffer, size_t capacity, size_t* received, uint32_t timeoutMs) {
  if (received != nullptr) *received = 0;
  if (handle_ < 0) return kNotOpen;
  if (buffer == nullptr || received == nullptr || capacity == 0) return kBadArgument;
  // A fast peer's answer is caught by a short spin (platform/spin_policy.h).
  bool spin = timeoutMs > 0 && spin_.ShouldSpin();
  const uint64_t spinEndUs = spin ? MonotonicUs() + spin_.budgetUs() : 0;
  // What is there already is taken at once (the socket never blocks); only
  // an empty socket is waited on.
  for (bool waited = false;;) {
    int n = recv(Sock(handle_), static_cast<char*>(buffer), Clamp(capacity), 0);
    int code = n == SOCKET_ERROR ? WSAGetLastError() : 0;
    if (n == SOCKET_ERROR && code == WSAEWOULDBLOCK) {
      if (spin && MonotonicUs() < spinEndUs) {
        YieldThread();
        continue;
      }
      if (spin) spin_.Record(false);
      spin = false;
      if (waited) return kTimeout;
      int status = WaitFor(Sock(handle_), false, timeoutMs, &lastOsError_);
      if (status != kOk) return status;
      waited = true;
      continue;
    }
    if (spin) spin_.Record(true);
    if (n > 0) {
      *received = static_cast<size_t>(n);
      return kOk;
    }
    if (n == 0) return kClosed;
    lastOsError_ = code;
    return FromWsa(code);
  }
}

int TcpSocket::SendSome(const void* data, size_t length, size_t* sent) {
  if (sent != nullptr) *sent = 0;
  if (handle_ < 0) return kNotOpen;
  if ((data == nullptr && length > 0) || sent == nullptr) return kBadArgument;
  int n = send(Sock(handle_), static_cast<const char*>(data), Clamp(length), 0);
  if (n >= 0) {
    *sent = static_cast<size_t>(n);
    return kOk;
  }
  int code = WSAGetLastError();
  if (code == WSAEWOULDBLOCK) return kOk;
  lastOsError_ = code;
  return FromWsa(code);
}

}  // namespace platform
