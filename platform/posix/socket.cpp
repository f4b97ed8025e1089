#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/status.h"

namespace platform {

namespace {

int FromErrno(int err) {
  switch (err) {
    case ECONNREFUSED:
      return kRefused;
    case ETIMEDOUT:
      return kTimeout;
    case ECONNRESET:
    case EPIPE:
    case ENOTCONN:
      return kClosed;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EADDRNOTAVAIL:
    case ENETDOWN:
      return kUnreachable;
    default:
      return kIoError;
  }
}

// Waits for the given events; kOk when they came, kTimeout, or an error.
int WaitFor(int fd, short events, uint32_t timeoutMs, int* osError) {
  pollfd p{fd, events, 0};
  for (;;) {
    int n = poll(&p, 1, static_cast<int>(timeoutMs));
    if (n > 0) return kOk;
    if (n == 0) return kTimeout;
    if (errno != EINTR) {
      *osError = errno;
      return FromErrno(errno);
    }
  }
}

}  // namespace

int SocketsStartup() { return kOk; }
void SocketsCleanup() {}

TcpSocket::~TcpSocket() { Close(); }

TcpSocket::TcpSocket(TcpSocket&& other) noexcept
    : handle_(other.handle_), lastOsError_(other.lastOsError_) {
  other.handle_ = -1;
}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    lastOsError_ = other.lastOsError_;
    other.handle_ = -1;
  }
  return *this;
}

void TcpSocket::Close() {
  if (handle_ >= 0) {
    ::close(static_cast<int>(handle_));
    handle_ = -1;
  }
}

int TcpSocket::Connect(const char* host, uint16_t port, uint32_t timeoutMs) {
  Close();
  lastOsError_ = 0;
  if (host == nullptr || host[0] == '\0' || port == 0) return kBadAddress;

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return kBadAddress;
    addr.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
  }

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    lastOsError_ = errno;
    return kIoError;
  }
  int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS) {
      lastOsError_ = errno;
      ::close(fd);
      return FromErrno(lastOsError_);
    }
    int status = WaitFor(fd, POLLOUT, timeoutMs, &lastOsError_);
    if (status != kOk) {
      ::close(fd);
      return status;
    }
    int soError = 0;
    socklen_t len = sizeof soError;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
    if (soError != 0) {
      lastOsError_ = soError;
      ::close(fd);
      return FromErrno(soError);
    }
  }
  handle_ = fd;
  return kOk;
}

int TcpSocket::SendAll(const void* data, size_t length, uint32_t timeoutMs) {
  if (handle_ < 0) return kNotOpen;
  if (data == nullptr && length > 0) return kBadArgument;
  const char* p = static_cast<const char*>(data);
  Deadline deadline(timeoutMs);
  while (length > 0) {
    // MSG_NOSIGNAL: a dropped peer is a status, not a SIGPIPE.
    ssize_t n = ::send(static_cast<int>(handle_), p, length, MSG_NOSIGNAL);
    if (n > 0) {
      p += n;
      length -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int status =
          WaitFor(static_cast<int>(handle_), POLLOUT, deadline.RemainingMs(), &lastOsError_);
      if (status != kOk) return status;
      continue;
    }
    lastOsError_ = errno;
    return FromErrno(errno);
  }
  return kOk;
}

int TcpSocket::Receive(void* buffer, size_t capacity, size_t* received, uint32_t timeoutMs) {
  if (received != nullptr) *received = 0;
  if (handle_ < 0) return kNotOpen;
  if (buffer == nullptr || received == nullptr || capacity == 0) return kBadArgument;
  int status = WaitFor(static_cast<int>(handle_), POLLIN, timeoutMs, &lastOsError_);
  if (status != kOk) return status;
  for (;;) {
    ssize_t n = ::recv(static_cast<int>(handle_), buffer, capacity, 0);
    if (n > 0) {
      *received = static_cast<size_t>(n);
      return kOk;
    }
    if (n == 0) return kClosed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kTimeout;
    lastOsError_ = errno;
    return FromErrno(errno);
  }
}

}  // namespace platform
