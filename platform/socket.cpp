// The parts of the sockets that are the same on every system; the rest is in
// posix/ and win32/.
#include "platform/socket.h"

namespace platform {

TcpSocket::~TcpSocket() { Close(); }

TcpSocket::TcpSocket(TcpSocket&& other) noexcept
    : handle_(other.handle_),
      lastOsError_(other.lastOsError_),
      spin_(other.spin_),
      receiveTimerMs_(other.receiveTimerMs_) {
  other.handle_ = -1;
  other.receiveTimerMs_ = 0;
}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    lastOsError_ = other.lastOsError_;
    spin_ = other.spin_;
    receiveTimerMs_ = other.receiveTimerMs_;
    other.handle_ = -1;
    other.receiveTimerMs_ = 0;
  }
  return *this;
}

}  // namespace platform
