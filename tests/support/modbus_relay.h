// A Modbus TCP relay for end-to-end tests, between a station's device link
// and qxsim: it passes each request on whole and brings its reply back, and
// asks a hook about every request first. The hook may act (signal the
// station, kill it) while the request waits, and may drop it: the connection
// then closes unanswered and the request never reaches the device. A relay
// that is down closes every connection at once, as a link that is gone.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/listener.h"
#include "platform/socket.h"
#include "tests/support/link_recorder.h"

class ModbusRelay {
 public:
  // true: pass the request on; false: drop it and the connection.
  using Hook = std::function<bool(const Bytes& request)>;
  // Relays to target ("host:port") from a free loopback port.
  explicit ModbusRelay(const std::string& target);
  ~ModbusRelay();
  ModbusRelay(const ModbusRelay&) = delete;
  ModbusRelay& operator=(const ModbusRelay&) = delete;

  std::string endpoint() const { return "127.0.0.1:" + std::to_string(listener_.port()); }
  // Called on the relay's threads, one request at a time across relays that
  // share the hook's own lock; null passes everything.
  void SetHook(Hook hook);
  // Every connection, open or new, closes at once for ms of real time.
  void DownFor(uint32_t ms);

 private:
  void Accept();
  void Serve(platform::TcpSocket client);
  bool Down();
  bool Ask(const Bytes& request);

  std::string host_;
  uint16_t port_ = 0;
  platform::SocketsUser sockets_;
  platform::TcpListener listener_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;  // hook_, down_, threads_
  Hook hook_;
  std::chrono::steady_clock::time_point down_{};
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};
