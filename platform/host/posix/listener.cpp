// The bench's listeners on POSIX sockets.
#include "platform/host/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/clock.h"
#include "platform/posix/socket_os.h"
#include "platform/status.h"

namespace platform {

using posix_socket::FromErrno;
using posix_socket::NumericAddress;
using posix_socket::WaitFor;

int TcpListener::Listen(const char* host, uint16_t port, int backlog) {
  Close();
  lastOsError_ = 0;
  if (host == nullptr || host[0] == '\0') return kBadAddress;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (!NumericAddress(host, &addr.sin_addr)) return kBadAddress;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    lastOsError_ = errno;
    return kIoError;
  }
  // A port that a stopped server left in TIME_WAIT can be bound again at once.
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd, backlog) != 0) {
    lastOsError_ = errno;
    ::close(fd);
    return kIoError;
  }
  socklen_t length = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  port_ = ntohs(addr.sin_port);
  handle_ = fd;
  return kOk;
}

int TcpListener::Accept(TcpSocket* connection, uint32_t timeoutMs) {
  if (handle_ < 0) return kNotOpen;
  if (connection == nullptr) return kBadArgument;
  Deadline deadline(timeoutMs);
  for (;;) {
    int fd = ::accept4(static_cast<int>(handle_), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      connection->Close();
      connection->handle_ = fd;
      return kOk;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      lastOsError_ = errno;
      return FromErrno(errno);
    }
    if (deadline.Expired()) return kTimeout;
    int status = WaitFor(static_cast<int>(handle_), POLLIN, deadline.RemainingMs(), &lastOsError_);
    if (status != kOk) return status;
  }
}

void TcpListener::Close() {
  if (handle_ >= 0) {
    ::close(static_cast<int>(handle_));
    handle_ = -1;
  }
}

}  // namespace platform
