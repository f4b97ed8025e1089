// TCP sockets: connect with a time-out, send all, receive with a time-out,
// and non-blocking sends for servers. Listeners, the waker and Poll are the
// bench's (platform/host/). Every wait is bounded; a dropped peer is a
// status, never a signal.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/spin_policy.h"

namespace platform {

// Start-up and release of the socket library (the library is a no-op on
// POSIX). Start-up asks for version 2.2: kWrongVersion when another is granted
// (nothing stays started then). Start-ups are counted: each user releases its
// own, and a release beyond the count is ignored.
int SocketsStartup();
void SocketsCleanup();
// Start-ups not yet released.
int SocketsStarted();

// Holds one start-up of the socket library for the life of its owner; declare
// it before the sockets it serves, so that they close first.
class SocketsUser {
 public:
  SocketsUser() : status_(SocketsStartup()) {}
  ~SocketsUser() {
    if (status_ == 0) SocketsCleanup();
  }
  SocketsUser(const SocketsUser&) = delete;
  SocketsUser& operator=(const SocketsUser&) = delete;
  // kOk when the library started.
  int status() const { return status_; }

 private:
  int status_;
};

// Splits "host:port" or "host" (then defaultPort; 0: the port is required)
// into its parts. Returns kBadAddress for an empty host, a missing port, a
// port outside 1..65535 (0 too when portZeroAllowed, for a listener that asks
// for a free port), or a host that does not fit hostCap.
int ParseEndpoint(const char* text, uint16_t defaultPort, char* host, size_t hostCap,
                  uint16_t* port, bool portZeroAllowed = false);

class TcpSocket {
 public:
  TcpSocket() = default;
  ~TcpSocket();
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;
  TcpSocket(TcpSocket&& other) noexcept;
  TcpSocket& operator=(TcpSocket&& other) noexcept;

  // Connects to a numeric IPv4 address (or "localhost"; no name is looked
  // up, as a lookup has no time limit); waits at most timeoutMs.
  int Connect(const char* host, uint16_t port, uint32_t timeoutMs);
  // Sends every byte or fails; waits at most timeoutMs in all.
  int SendAll(const void* data, size_t length, uint32_t timeoutMs);
  // Takes what is there (up to capacity); only when nothing is, waits at
  // most timeoutMs for it. kClosed when the peer has closed the connection.
  int Receive(void* buffer, size_t capacity, size_t* received, uint32_t timeoutMs);
  // Lets a Receive that has to wait spin for up to budgetUs first, while
  // spinning pays (platform/spin_policy.h); 0, the default, never spins.
  // Kept across Connect and Close: it is the owner's choice.
  void SetSpinUs(uint32_t budgetUs) { spin_.SetBudgetUs(budgetUs); }
  // Sends what the connection takes now, never waiting; *sent may be 0.
  int SendSome(const void* data, size_t length, size_t* sent);
  void Close();
  // Ends the connection both ways but keeps the handle until Close. Safe
  // from another thread while this socket's owner waits in a receive or a
  // send: the wait ends at once (kClosed).
  void Shutdown();
  bool IsOpen() const { return handle_ >= 0; }
  // The operating system's code of the last failure (0 when there was none).
  int LastOsError() const { return lastOsError_; }
  // For Poll.
  intptr_t handle() const { return handle_; }

 private:
  friend class TcpListener;
  intptr_t handle_ = -1;
  int lastOsError_ = 0;
  SpinPolicy spin_;
  // POSIX: the receive timer last set on the socket (0: none).
  uint32_t receiveTimerMs_ = 0;
};

}  // namespace platform
