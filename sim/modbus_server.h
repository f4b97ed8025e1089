// The device's Modbus TCP service: one listening socket per endpoint (USB
// and Ethernet), all in front of one VirtualDevice, served by one poll loop
// on a thread of its own.
//
// Framing: a request is read by its MBAP length. A protocol identifier
// other than 0 or a length below 2 cannot be resynchronised: the connection
// is closed. A request longer than the station's 1536-byte buffer is read
// whole and answered with kIllegalDataValue; any function but 76 with
// kIllegalFunction.
//
// Restart: once the reply to the request that wrote the restart register
// has gone out, every connection is dropped and the listening sockets are
// closed, so connections are refused; after the restart time the device
// powers on again (running the firmware its info page names) and listens on
// the same ports.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/virtual_device.h"

namespace qxsim {

enum class HeaderFault {
  kNone,
  kTransactionId,  // transaction identifier one off
  kProtocol,       // protocol identifier 1
  kLength,         // length 1531: one byte beyond the 1536-byte buffer
  kUnit,           // unit identifier one off
  kFunction,       // function code with its lowest bit flipped (76 -> 77)
};
// "tid", "protocol", "length", "unit", "function".
bool ParseHeaderFault(const std::string& text, HeaderFault* fault);
const char* HeaderFaultName(HeaderFault fault);
// Spoils one field of a reply's header as the fault names.
void CorruptHeader(std::vector<uint8_t>& reply, HeaderFault fault);

// The device's reply to one whole request (MBAP header on), as the wire
// carries it; *restart is set when the request asked for a restart.
std::vector<uint8_t> AnswerRequest(VirtualDevice& device, const std::vector<uint8_t>& request,
                                   bool* restart);

// Faults of one endpoint's link.
struct LinkFaults {
  bool noAnswer = false;  // requests vanish unanswered; the device never sees them
  uint32_t slowMs = 0;    // every reply is held back this long
  HeaderFault corruptHeader = HeaderFault::kNone;
  // A connection answers this many requests; the next one closes it
  // unanswered and unprocessed. -1: never. Counted per connection.
  int dropAfter = -1;
};

struct EndpointSpec {
  std::string name;   // "usb", "eth"
  std::string host;   // numeric IPv4 or a host name
  uint16_t port = 0;  // 0: an ephemeral port
};

// "host:port", or "host" alone when defaultPort is not 0.
bool ParseEndpoint(const std::string& text, uint16_t defaultPort, EndpointSpec* spec,
                   std::string* error);

class ModbusServer {
 public:
  explicit ModbusServer(VirtualDevice& device);
  ~ModbusServer();
  ModbusServer(const ModbusServer&) = delete;
  ModbusServer& operator=(const ModbusServer&) = delete;

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
  // Power-cycles the device as the restart register does.
  void Restart();
  // True while the device is away after a restart.
  bool away() const { return away_; }
  // Drops every open connection now (a pulled cable); new ones are taken.
  void DropConnections();
  size_t connectionCount() const { return connectionCount_; }
  uint64_t requestCount() const { return requestCount_; }

  // Called on the server's thread when the device goes away for a restart
  // (the bench saves its state then). Set before Start.
  void SetRestartListener(std::function<void()> listener) {
    restartListener_ = std::move(listener);
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Pending {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
    bool restartAfter;
  };
  struct Connection {
    int fd;
    size_t endpoint;
    std::vector<uint8_t> in;
    std::deque<Pending> out;
    size_t sent = 0;  // bytes of out.front() already sent
    uint64_t requests = 0;
  };

  bool OpenListeners(std::string* error);
  void CloseListeners();
  void Loop();
  void Accept(size_t endpoint);
  void Receive(Connection& c);
  void Serve(Connection& c);
  void Flush(Connection& c, Clock::time_point now);
  void Close(Connection& c);
  void CloseAll();
  void BeginRestart(Clock::time_point now);
  void ComeBack(Clock::time_point now);
  void Wake();

  VirtualDevice& device_;
  std::vector<EndpointSpec> endpoints_;  // ports as bound
  std::vector<int> listeners_;
  std::vector<Connection> connections_;
  mutable std::mutex faultMutex_;
  std::vector<LinkFaults> faults_;
  LinkFaults defaultFaults_;  // for endpoints bound later
  std::function<void()> restartListener_;
  std::thread thread_;
  int wake_[2] = {-1, -1};
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> dropRequested_{false};
  std::atomic<bool> restartRequested_{false};
  std::atomic<bool> away_{false};
  std::atomic<uint32_t> restartMs_{5000};
  std::atomic<size_t> connectionCount_{0};
  std::atomic<uint64_t> requestCount_{0};
  bool restartPending_ = false;  // loop thread only
  bool relistenReported_ = false;
  Clock::time_point awayUntil_;
};

}  // namespace qxsim
