// TCP client sockets for the station: connect with a time-out, send all,
// receive with a time-out. Every wait is bounded; a dropped peer is a status,
// never a signal.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Start-up and release of the socket library (no-ops on POSIX). Start-up is
// counted, so every start-up needs its cleanup.
int SocketsStartup();
void SocketsCleanup();

// Splits "host:port" or "host" (then defaultPort) into its parts. Returns
// kBadAddress for an empty host, a port outside 1..65535, or a host that does
// not fit hostCap.
int ParseEndpoint(const char* text, uint16_t defaultPort, char* host, size_t hostCap,
                  uint16_t* port);

class TcpSocket {
 public:
  TcpSocket() = default;
  ~TcpSocket();
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;
  TcpSocket(TcpSocket&& other) noexcept;
  TcpSocket& operator=(TcpSocket&& other) noexcept;

  // Connects to a numeric IPv4 address or host name; waits at most timeoutMs.
  int Connect(const char* host, uint16_t port, uint32_t timeoutMs);
  // Sends every byte or fails; waits at most timeoutMs in all.
  int SendAll(const void* data, size_t length, uint32_t timeoutMs);
  // Waits at most timeoutMs for data, then takes what is there (up to
  // capacity). kClosed when the peer has closed the connection.
  int Receive(void* buffer, size_t capacity, size_t* received, uint32_t timeoutMs);
  void Close();
  bool IsOpen() const { return handle_ >= 0; }
  // The operating system's code of the last failure (0 when there was none).
  int LastOsError() const { return lastOsError_; }

 private:
  intptr_t handle_ = -1;
  int lastOsError_ = 0;
};

}  // namespace platform
