#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "platform/clock.h"
#include "platform/posix/socket_os.h"
#include "platform/status.h"

namespace platform {

namespace {

// The socket's receive timer counts in the kernel's ticks and may run up to
// a tick long, so it is set kTimerSlackMs short of the deadline; the last
// stretch, and any wait shorter than kTimerFloorMs, is polled instead.
constexpr uint32_t kTimerSlackMs = 10;
constexpr uint32_t kTimerFloorMs = 20;

}  // namespace

namespace posix_socket {

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
  Deadline deadline(timeoutMs);
  for (;;) {
    // A signal restarts the wait with what is left of it, not all of it.
    int n = poll(&p, 1, OsWaitMs(deadline.RemainingMs()));
    if (n > 0) return kOk;
    if (n == 0) return kTimeout;
    if (errno != EINTR) {
      *osError = errno;
      return FromErrno(errno);
    }
  }
}

// Numeric IPv4 addresses only, and "localhost": a name lookup may wait on a
// name server for as long as it likes, and no wait here may be unbounded.
bool NumericAddress(const char* host, in_addr* address) {
  if (std::strcmp(host, "localhost") == 0) host = "127.0.0.1";
  return inet_pton(AF_INET, host, address) == 1;
}

}  // namespace posix_socket

using posix_socket::FromErrno;
using posix_socket::NumericAddress;
using posix_socket::WaitFor;

namespace {

// Sets the socket's receive timer to timerMs unless the one set fits the
// wait already, so that the steady exchange sets it once.
int KeepReceiveTimer(int fd, uint32_t timerMs, uint32_t* setMs, int* osError) {
  if (*setMs != 0 && *setMs <= timerMs && *setMs >= timerMs / 2) return kOk;
  timeval tv{static_cast<time_t>(timerMs / 1000), static_cast<suseconds_t>(timerMs % 1000) * 1000};
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
    *osError = errno;
    return FromErrno(errno);
  }
  *setMs = timerMs;
  return kOk;
}

}  // namespace

void TcpSocket::Close() {
  if (handle_ >= 0) {
    ::close(static_cast<int>(handle_));
    handle_ = -1;
  }
  receiveTimerMs_ = 0;
}

void TcpSocket::Shutdown() {
  if (handle_ >= 0) ::shutdown(static_cast<int>(handle_), SHUT_RDWR);
}

int TcpSocket::Connect(const char* host, uint16_t port, uint32_t timeoutMs) {
  Close();
  lastOsError_ = 0;
  if (host == nullptr || host[0] == '\0' || port == 0) return kBadAddress;

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (!NumericAddress(host, &addr.sin_addr)) return kBadAddress;

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
  // Blocking from here on, so that a receive can wait in the read itself;
  // every other call here asks not to wait (MSG_DONTWAIT).
  fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
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
    ssize_t n = ::send(static_cast<int>(handle_), p, length, MSG_NOSIGNAL | MSG_DONTWAIT);
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
  const int fd = static_cast<int>(handle_);
  // The wait is a real one whatever clock is in force.
  const uint64_t endUs = MonotonicUs() + uint64_t{timeoutMs} * 1000u;
  bool spin = timeoutMs > 0 && spin_.ShouldSpin();
  const uint64_t spinEndUs = spin ? MonotonicUs() + spin_.budgetUs() : 0;
  bool polled = false;
  for (;;) {
    const uint64_t nowUs = MonotonicUs();
    const uint32_t remainingMs = nowUs >= endUs ? 0 : static_cast<uint32_t>((endUs - nowUs) / 1000);
    ssize_t n;
    if (spin && nowUs >= spinEndUs) {
      spin = false;
      spin_.Record(false);
    }
    if (spin || remainingMs < kTimerFloorMs) {
      // Looks only. A short wait is polled, once, after a look.
      n = ::recv(fd, buffer, capacity, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (spin) {
          YieldThread();
          continue;
        }
        if (polled || remainingMs == 0) return kTimeout;
        int status = WaitFor(fd, POLLIN, remainingMs, &lastOsError_);
        if (status != kOk) return status;
        polled = true;
        continue;
      }
    } else {
      // The socket's own timer spares a poll before every read.
      int status =
          KeepReceiveTimer(fd, remainingMs - kTimerSlackMs, &receiveTimerMs_, &lastOsError_);
      if (status != kOk) return status;
      // The timer running out (EAGAIN) only leads to a fresh look at the
      // time left.
      n = ::recv(fd, buffer, capacity, 0);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    }
    if (spin) spin_.Record(true);  // data, a close or a failure: the spin found it
    if (n > 0) {
      *received = static_cast<size_t>(n);
      return kOk;
    }
    if (n == 0) return kClosed;
    if (errno == EINTR) continue;
    lastOsError_ = errno;
    return FromErrno(errno);
  }
}

}  // namespace platform

namespace platform {

int TcpSocket::SendSome(const void* data, size_t length, size_t* sent) {
  if (sent != nullptr) *sent = 0;
  if (handle_ < 0) return kNotOpen;
  if ((data == nullptr && length > 0) || sent == nullptr) return kBadArgument;
  for (;;) {
    ssize_t n = ::send(static_cast<int>(handle_), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      *sent = static_cast<size_t>(n);
      return kOk;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kOk;
    lastOsError_ = errno;
    return FromErrno(errno);
  }
}

}  // namespace platform
