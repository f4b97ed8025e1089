// The device's Modbus TCP service: one listening socket per endpoint (USB
// and Ethernet), all in front of one VirtualDevice. A loop on a thread of
// its own accepts and runs restarts; each connection (at most
// kMaxConnections) is served by a thread of its own that waits in the read
// itself, so a request costs a read and a send and nothing more.
//
// Framing: a request is read by its MBAP length. A protocol identifier
// other than 0 or a length below 2 cannot be resynchronised: the connection
// is closed. A request longer than the station's 1536-byte buffer is
// answered with kIllegalDataValue and its bytes are read and dropped; a
// function the device does not serve gets kIllegalFunction
// (sim/feedback.h).
//
// Cost: a request is served from a fixed input buffer into a fixed reply
// buffer, under the device lock alone (the faults in force are copied to the
// connection when they change; the served log is lock-free), so a request
// costs no allocation. Replies to requests that came together go out in one
// send.
//
// Idle connections: one that brings no request for the idle time-out (on
// the device's clock) is closed, so that peers which vanished without a
// close never hold every place and lock the stations out.
//
// Restart: once the reply to the request that wrote the restart register
// has gone out, every connection is dropped and the listening sockets are
// closed, so connections are refused; after the restart time the device
// powers on again (running the firmware its info page names) and listens on
// the same ports.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/listener.h"
#include "platform/host/poll.h"
#include "platform/socket.h"
#include "sim/link_faults.h"
#include "sim/virtual_device.h"

namespace qxsim {

struct EndpointSpec {
  std::string name;   // "usb", "eth"
  std::string host;   // numeric IPv4 or a host name
  uint16_t port = 0;  // 0: an ephemeral port
};

// "host:port" (port 0: an ephemeral port) into *spec's host and port.
bool ParseEndpoint(const std::string& text, EndpointSpec* spec, std::string* error);

// Longer than any pause a station makes between two requests: a meter
// reading that times out (21 s) on each side of a device read, the upgrade's
// restart wait, and an operator at qxtest's prompt with the device open.
constexpr uint32_t kDefaultIdleTimeoutMs = 600000;

class DeviceServer {
 public:
  explicit DeviceServer(VirtualDevice& device);
  ~DeviceServer();
  DeviceServer(const DeviceServer&) = delete;
  DeviceServer& operator=(const DeviceServer&) = delete;

  // Binds every endpoint and starts serving; false with *error when an
  // endpoint cannot be bound (nothing is left listening then).
  bool Start(const std::vector<EndpointSpec>& endpoints, std::string* error);
  // Closes every connection and listener; waits for the loop to end.
  void Stop();

  // Endpoints in the order given to Start (valid after Start).
  size_t endpointCount() const { return endpoints_.size(); }
  uint16_t port(size_t endpoint) const { return endpoints_.at(endpoint).port; }
  // "host:port" with the bound port.
  std::string address(size_t endpoint) const;

  // Faults of every endpoint (also those bound by a later Start), or of
  // one endpoint (index as given to Start; after Start).
  void SetFaults(const LinkFaults& faults);
  void SetFaults(size_t endpoint, const LinkFaults& faults);
  LinkFaults faults(size_t endpoint) const;

  void SetRestartMs(uint32_t ms) { restartMs_ = ms; }
  uint32_t restartMs() const { return restartMs_; }
  // A connection with no request for this long is closed; 0: never.
  void SetIdleTimeoutMs(uint32_t ms) { idleTimeoutMs_ = ms; }
  // Power-cycles the device as the restart register does.
  void Restart();
  // True while the device is away after a restart.
  bool away() const { return away_; }
  // Drops every open connection now (a pulled cable); new ones are taken.
  void DropConnections();
  size_t connectionCount() const { return connectionCount_; }
  uint64_t requestCount() const { return requestCount_; }
  // Which endpoint took each request, oldest first (the last
  // kServedLogSize): a test can see every request of a run after the
  // Ethernet test arrive on the Ethernet endpoint.
  struct Served {
    size_t endpoint;
    uint16_t firstRegister;  // of the request's first record (0xFFFF: none)
  };
  static constexpr size_t kServedLogSize = 100000;
  std::vector<Served> servedLog() const;

  // Called on the server's thread when the device goes away for a restart
  // (the bench saves its state then). Set before Start.
  void SetRestartListener(std::function<void()> listener) {
    restartListener_ = std::move(listener);
  }

 private:
  static constexpr size_t kMaxConnections = 64;
  struct Connection {
    Connection(platform::TcpSocket s, size_t e, VirtualDevice& device,
               std::function<int(Connection&, uint32_t)> hold);
    platform::TcpSocket socket;
    size_t endpoint;
    DeviceLink device;
    FaultyLink link;                // the faults in force on the connection, in front of the device
    std::unique_ptr<uint8_t[]> in;  // kInCapacity bytes; [inStart, inEnd) unread
    size_t inStart = 0;
    size_t inEnd = 0;
    size_t skip = 0;                 // bytes of an over-long request still to drop
    std::unique_ptr<uint8_t[]> out;  // kOutCapacity bytes of replies not yet sent
    size_t outEnd = 0;
    // When it last brought a request or was busy answering (device clock).
    std::atomic<uint64_t> activeMs{0};
    uint64_t faultsGeneration = ~uint64_t{0};
    bool restartSent = false;          // nothing more reaches the device
    std::atomic<bool> closing{false};  // set by the loop before it shuts the socket
    std::atomic<bool> done{false};     // the thread has ended; the loop joins it
    std::thread thread;
  };

  bool OpenListeners(std::string* error);
  void CloseListeners();
  void Loop();
  void Accept(size_t endpoint);
  // A connection's thread: reads, answers, sends, until the connection ends.
  void Serve(Connection& c);
  // Answers every whole request in the input; false when the connection
  // must end (not Modbus TCP, a drop fault, a failed send, closing).
  bool TakeRequests(Connection& c);
  bool Flush(Connection& c);
  // Holds the replies back until dueMs on the device's clock.
  bool HoldBack(Connection& c, uint64_t dueMs);
  // Brings the connection's faults up to its endpoint's.
  void UpdateFaults(Connection& c);
  void Reap();  // joins the threads of connections that ended
  void CloseIdle(uint64_t nowMs);
  void CloseAll();
  void BeginRestart(uint64_t nowMs);
  void ComeBack(uint64_t nowMs);
  void Wake();
  void LogServed(size_t endpoint, uint16_t firstRegister);

  VirtualDevice& device_;
  std::vector<EndpointSpec> endpoints_;  // ports as bound
  std::vector<platform::TcpListener> listeners_;
  std::vector<std::unique_ptr<Connection>> connections_;  // the loop's
  std::vector<platform::PollItem> items_;                 // the loop's, kept between turns
  mutable std::mutex faultMutex_;
  std::vector<LinkFaults> faults_;
  LinkFaults defaultFaults_;  // for endpoints bound later
  std::atomic<uint64_t> faultsGeneration_{0};
  std::function<void()> restartListener_;
  std::thread thread_;
  platform::Waker waker_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> dropRequested_{false};
  std::atomic<bool> restartRequested_{false};
  std::atomic<bool> restartReplied_{false};  // a connection sent a restart's reply
  std::atomic<bool> away_{false};
  std::atomic<uint32_t> restartMs_{5000};
  std::atomic<uint32_t> idleTimeoutMs_{kDefaultIdleTimeoutMs};
  std::atomic<size_t> connectionCount_{0};
  std::atomic<uint64_t> requestCount_{0};
  // A ring of entries (sequence + 1) << 32 | endpoint << 16 | first
  // register; a writer takes its sequence number first, so readers can tell
  // an entry not yet written.
  std::unique_ptr<std::atomic<uint64_t>[]> served_;
  std::atomic<uint64_t> servedCount_{0};
  bool restartPending_ = false;  // loop thread only
  bool relistenReported_ = false;
  uint64_t awayUntilMs_ = 0;
};

}  // namespace qxsim
