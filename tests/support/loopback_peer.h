// A TCP peer on a free loopback port for tests of clients: it accepts
// connections one after another on a thread of its own and hands what arrives
// to a handler, which answers through the connection. Every wait is bounded,
// so a test that goes wrong ends instead of hanging.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/host/listener.h"
#include "platform/socket.h"

class PeerConnection {
 public:
  explicit PeerConnection(platform::TcpSocket& socket) : socket_(socket) {}
  bool Send(const std::string& bytes);
  // One byte at a time, pauseMs apart, as a slow link delivers them.
  bool Trickle(const std::string& bytes, uint32_t pauseMs);
  // Waits pauseMs (real time) before what comes next.
  void Pause(uint32_t pauseMs);
  // Ends the connection once the handler returns.
  void Close() { close_ = true; }
  bool closing() const { return close_; }

 private:
  platform::TcpSocket& socket_;
  bool close_ = false;
};

class LoopbackPeer {
 public:
  // *pending holds what arrived and was not taken yet; the handler erases
  // what it has handled.
  using Handler = std::function<void(PeerConnection& connection, std::string* pending)>;
  explicit LoopbackPeer(Handler handler);
  ~LoopbackPeer();
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  uint16_t port() const { return listener_.port(); }
  std::string endpoint() const { return "127.0.0.1:" + std::to_string(port()); }
  int connections() const { return connections_; }
  // Every byte received, over all connections.
  std::string received() const;

 private:
  void Run();
  void Serve(platform::TcpSocket& socket);

  Handler handler_;
  platform::SocketsUser sockets_;
  platform::TcpListener listener_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::string received_;
  std::thread thread_;
};

// A loopback port that nothing listens on (free a moment ago).
uint16_t UnusedLoopbackPort();
