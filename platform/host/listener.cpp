// The parts of the listener that are the same on every system; the rest is
// in posix/ and win32/.
#include "platform/host/listener.h"

namespace platform {

TcpListener::~TcpListener() { Close(); }

TcpListener::TcpListener(TcpListener&& other) noexcept
    : handle_(other.handle_), port_(other.port_), lastOsError_(other.lastOsError_) {
  other.handle_ = -1;
}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    port_ = other.port_;
    lastOsError_ = other.lastOsError_;
    other.handle_ = -1;
  }
  return *this;
}

}  // namespace platform
