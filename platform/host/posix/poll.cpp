// The bench's waker and Poll on POSIX.
#include "platform/host/poll.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>
#include <vector>

#include "platform/clock.h"
#include "platform/status.h"

namespace platform {

Waker::~Waker() { Close(); }

int Waker::Open() {
  Close();
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return kIoError;
  readHandle_ = fds[0];
  writeHandle_ = fds[1];
  return kOk;
}

void Waker::Wake() {
  if (writeHandle_ < 0) return;
  uint8_t byte = 1;
  // A full pipe already holds a wake-up.
  ssize_t ignored = ::write(static_cast<int>(writeHandle_), &byte, 1);
  (void)ignored;
}

void Waker::Drain() {
  if (readHandle_ < 0) return;
  uint8_t bytes[64];
  while (::read(static_cast<int>(readHandle_), bytes, sizeof bytes) > 0) {
  }
}

void Waker::Close() {
  for (intptr_t* h : {&readHandle_, &writeHandle_}) {
    if (*h >= 0) ::close(static_cast<int>(*h));
    *h = -1;
  }
}

int Poll(PollItem* items, size_t count, uint32_t timeoutMs) {
  pollfd fds[256];
  std::vector<pollfd> many;
  pollfd* p = fds;
  if (count > sizeof fds / sizeof fds[0]) {
    many.resize(count);
    p = many.data();
  }
  for (size_t i = 0; i < count; ++i) {
    short events = 0;
    if (items[i].wantRead) events |= POLLIN;
    if (items[i].wantWrite) events |= POLLOUT;
    p[i] = pollfd{static_cast<int>(items[i].handle), events, 0};
  }
  int n;
  do {
    n = ::poll(p, count, OsWaitMs(timeoutMs));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return kIoError;
  for (size_t i = 0; i < count; ++i) {
    // A close or a failure shows as readable: the next receive tells which.
    items[i].readable = (p[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    items[i].writable = (p[i].revents & (POLLOUT | POLLERR)) != 0;
  }
  return kOk;
}

}  // namespace platform
