// For servers that serve many connections from one thread (POSIX, where the
// bench runs): a waker and Poll.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Wakes a thread that waits in Poll (Stop, new work). Wake may be called
// from any thread and any number of times before a Drain.
class Waker {
 public:
  Waker() = default;
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;
  int Open();
  void Wake();
  void Drain();
  void Close();
  intptr_t handle() const { return readHandle_; }

 private:
  intptr_t readHandle_ = -1;
  intptr_t writeHandle_ = -1;
};

// One handle to wait on (a TcpSocket's, a TcpListener's or a Waker's).
struct PollItem {
  intptr_t handle = -1;
  bool wantRead = false;   // data, a connection to accept, a wake-up, or a close
  bool wantWrite = false;  // room to send
  bool readable = false;   // set by Poll: data, a close or a failure waits
  bool writable = false;
};

// Waits at most timeoutMs until some item is ready; kOk (also when nothing
// was) or kIoError.
int Poll(PollItem* items, size_t count, uint32_t timeoutMs);

}  // namespace platform
