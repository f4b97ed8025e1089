#include "platform/host/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/clock.h"
#include "platform/status.h"

namespace platform {

namespace {

int WaitFor(int fd, short events, uint32_t timeoutMs, int* osError) {
  pollfd p{fd, events, 0};
  Deadline deadline(timeoutMs);
  for (;;) {
    int n = ::poll(&p, 1, OsWaitMs(deadline.RemainingMs()));
    if (n > 0) return kOk;
    if (n == 0) return kTimeout;
    if (errno != EINTR) {
      *osError = errno;
      return kIoError;
    }
  }
}

}  // namespace

PseudoTerminal::~PseudoTerminal() { Close(); }

int PseudoTerminal::Open() {
  Close();
  auto fail = [this] {
    lastOsError_ = errno;
    Close();
    return kIoError;
  };
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) return fail();
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return fail();
  if (::ptsname_r(master_, devicePath_, sizeof devicePath_) != 0) return fail();
  slave_ = ::open(devicePath_, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave_ < 0) return fail();
  // Raw, so that nothing echoes before a station has set the line up (a
  // pseudo-terminal keeps no character size or parity: it carries bytes).
  termios t{};
  if (::tcgetattr(slave_, &t) == 0) {
    ::cfmakeraw(&t);
    t.c_cflag |= CSTOPB | CLOCAL | CREAD;
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(slave_, TCSANOW, &t);
  }
  int flags = ::fcntl(master_, F_GETFL, 0);
  if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) return fail();
  return kOk;
}

int PseudoTerminal::Link(const char* path) {
  if (master_ < 0) return kNotOpen;
  size_t length = path != nullptr ? std::strlen(path) : 0;
  if (length == 0 || length >= sizeof linkPath_) return kBadArgument;
  struct stat st {};
  if (::lstat(path, &st) == 0) {
    if (!S_ISLNK(st.st_mode)) return kBadArgument;
    if (::unlink(path) != 0) {
      lastOsError_ = errno;
      return kIoError;
    }
  }
  if (::symlink(devicePath_, path) != 0) {
    lastOsError_ = errno;
    return kIoError;
  }
  std::memcpy(linkPath_, path, length + 1);
  return kOk;
}

void PseudoTerminal::Close() {
  if (linkPath_[0] != '\0') {
    // Only our own link goes; someone may have re-pointed it meanwhile.
    char target[sizeof devicePath_ + 1];
    ssize_t n = ::readlink(linkPath_, target, sizeof target - 1);
    if (n >= 0) {
      target[n] = '\0';
      if (std::strcmp(target, devicePath_) == 0) ::unlink(linkPath_);
    }
    linkPath_[0] = '\0';
  }
  for (int* fd : {&master_, &slave_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  devicePath_[0] = '\0';
}

int PseudoTerminal::Read(void* buffer, size_t capacity, size_t* received, uint32_t timeoutMs) {
  if (received != nullptr) *received = 0;
  if (master_ < 0) return kNotOpen;
  if (buffer == nullptr || received == nullptr || capacity == 0) return kBadArgument;
  int status = WaitFor(master_, POLLIN, timeoutMs, &lastOsError_);
  if (status != kOk) return status;
  for (;;) {
    ssize_t n = ::read(master_, buffer, capacity);
    if (n > 0) {
      *received = static_cast<size_t>(n);
      return kOk;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kTimeout;
    if (n < 0 && errno != EIO) {
      lastOsError_ = errno;
      return kIoError;
    }
    // A hang-up without data (cannot happen while the terminal's own side
    // is held open): do not let a caller spin on it.
    ::poll(nullptr, 0, static_cast<int>(timeoutMs < 10 ? timeoutMs : 10));
    return kTimeout;
  }
}

int PseudoTerminal::Write(const void* data, size_t length, size_t* written, uint32_t timeoutMs) {
  if (written != nullptr) *written = 0;
  if (master_ < 0) return kNotOpen;
  if ((data == nullptr && length > 0) || written == nullptr) return kBadArgument;
  const char* p = static_cast<const char*>(data);
  Deadline deadline(timeoutMs);
  while (*written < length) {
    ssize_t n = ::write(master_, p + *written, length - *written);
    if (n > 0) {
      *written += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (deadline.Expired()) return kTimeout;
      int status = WaitFor(master_, POLLOUT, deadline.RemainingMs(), &lastOsError_);
      if (status != kOk) return status;
      continue;
    }
    lastOsError_ = errno;
    return kClosed;
  }
  return kOk;
}

}  // namespace platform
