// Listeners that bind host:port (port 0: a free port) and accept with a
// deadline: the bench's servers and the tests' scripted peers, never the
// station, which only connects.
#pragma once

#include <cstdint>

#include "platform/socket.h"

namespace platform {

class TcpListener {
 public:
  TcpListener() = default;
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;
  TcpListener(TcpListener&& other) noexcept;
  TcpListener& operator=(TcpListener&& other) noexcept;

  // Binds a numeric IPv4 address (or "localhost") and listens; port 0 takes a
  // free port (see port()). kIoError when the address is taken.
  int Listen(const char* host, uint16_t port, int backlog = 64);
  // Waits at most timeoutMs for a connection (0: only looks); kTimeout when
  // none came. The connection comes without Nagle's delay.
  int Accept(TcpSocket* connection, uint32_t timeoutMs);
  void Close();
  bool IsOpen() const { return handle_ >= 0; }
  // The port bound (the free one chosen for port 0).
  uint16_t port() const { return port_; }
  int LastOsError() const { return lastOsError_; }
  intptr_t handle() const { return handle_; }

 private:
  intptr_t handle_ = -1;
  uint16_t port_ = 0;
  int lastOsError_ = 0;
};

}  // namespace platform
