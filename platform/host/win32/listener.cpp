// The bench's listeners on Winsock, for the tests' scripted peers on Windows.
#include "platform/host/listener.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/clock.h"
#include "platform/status.h"
#include "platform/win32/socket_os.h"

namespace platform {

using namespace win32_socket;

int TcpListener::Listen(const char* host, uint16_t port, int backlog) {
  Close();
  lastOsError_ = 0;
  if (host == nullptr || host[0] == '\0') return kBadAddress;
  sockaddr_in addr;
  if (Resolve(host, port, &addr) != kOk) return kBadAddress;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    lastOsError_ = WSAGetLastError();
    return kIoError;
  }
  // Windows lets SO_REUSEADDR steal a port in use; exclusive use refuses a
  // taken port as POSIX does.
  BOOL one = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, backlog) != 0 ||
      !SetNonBlocking(s)) {
    lastOsError_ = WSAGetLastError();
    closesocket(s);
    return kIoError;
  }
  int length = sizeof addr;
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &length);
  port_ = ntohs(addr.sin_port);
  handle_ = static_cast<intptr_t>(s);
  return kOk;
}

int TcpListener::Accept(TcpSocket* connection, uint32_t timeoutMs) {
  if (handle_ < 0) return kNotOpen;
  if (connection == nullptr) return kBadArgument;
  Deadline deadline(timeoutMs);
  for (;;) {
    SOCKET s = accept(Sock(handle_), nullptr, nullptr);
    if (s != INVALID_SOCKET) {
      SetNonBlocking(s);
      NoDelay(s);
      connection->Close();
      connection->handle_ = static_cast<intptr_t>(s);
      return kOk;
    }
    int code = WSAGetLastError();
    if (code == WSAECONNRESET) continue;  // the client gave up before we took it
    if (code != WSAEWOULDBLOCK) {
      lastOsError_ = code;
      return FromWsa(code);
    }
    if (deadline.Expired()) return kTimeout;
    int status = WaitFor(Sock(handle_), false, deadline.RemainingMs(), &lastOsError_);
    if (status != kOk) return status;
  }
}

void TcpListener::Close() {
  if (handle_ >= 0) {
    closesocket(Sock(handle_));
    handle_ = -1;
  }
}

}  // namespace platform
