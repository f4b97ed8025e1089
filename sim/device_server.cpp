#include "sim/device_server.h"

#include <cstdio>
#include <cstring>

#include "platform/status.h"
#include "sim/core/feedback.h"
#include "sim/core/protocol.h"

namespace qxsim {

namespace {

constexpr int kIdlePollMs = 200;
constexpr int kRelistenRetryMs = 200;
constexpr size_t kReceiveChunk = 4096;
// A client that sends without reading stops being read from once this many
// replies wait for it, so nothing grows without bound.
constexpr size_t kMaxQueuedReplies = 64;

void PutU16(std::vector<uint8_t>& bytes, size_t at, uint16_t v) {
  bytes[at] = static_cast<uint8_t>(v >> 8);
  bytes[at + 1] = static_cast<uint8_t>(v);
}

uint16_t GetU16(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

}  // namespace

void CorruptHeader(std::vector<uint8_t>& reply, HeaderFault fault) {
  switch (fault) {
    case HeaderFault::kNone:
      break;
    case HeaderFault::kTransactionId:
      PutU16(reply, 0, static_cast<uint16_t>(GetU16(reply, 0) + 1));
      break;
    case HeaderFault::kProtocol:
      PutU16(reply, 2, 1);
      break;
    case HeaderFault::kLength:
      PutU16(reply, 4, static_cast<uint16_t>(kMaxPacketBytes - kMbapBytes + 1));
      break;
    case HeaderFault::kUnit:
      reply[6] = static_cast<uint8_t>(reply[6] + 1);
      break;
    case HeaderFault::kFunction:
      reply[7] ^= 0x01;
      break;
  }
}

bool ParseHeaderFault(const std::string& text, HeaderFault* fault) {
  static const struct {
    const char* name;
    HeaderFault fault;
  } kNames[] = {{"tid", HeaderFault::kTransactionId}, {"protocol", HeaderFault::kProtocol},
                {"length", HeaderFault::kLength},     {"unit", HeaderFault::kUnit},
                {"function", HeaderFault::kFunction}, {"none", HeaderFault::kNone}};
  for (const auto& n : kNames) {
    if (text == n.name) {
      *fault = n.fault;
      return true;
    }
  }
  return false;
}

const char* HeaderFaultName(HeaderFault fault) {
  switch (fault) {
    case HeaderFault::kNone:
      return "none";
    case HeaderFault::kTransactionId:
      return "tid";
    case HeaderFault::kProtocol:
      return "protocol";
    case HeaderFault::kLength:
      return "length";
    case HeaderFault::kUnit:
      return "unit";
    case HeaderFault::kFunction:
      return "function";
  }
  return "none";
}

bool ParseEndpoint(const std::string& text, EndpointSpec* spec, std::string* error) {
  char host[256];
  uint16_t port = 0;
  if (platform::ParseEndpoint(text.c_str(), 0, host, sizeof host, &port, true) != platform::kOk) {
    *error = "endpoint '" + text + "' is not host:port";
    return false;
  }
  spec->host = host;
  spec->port = port;
  return true;
}

DeviceServer::DeviceServer(VirtualDevice& device) : device_(device) {}

DeviceServer::~DeviceServer() { Stop(); }

bool DeviceServer::Start(const std::vector<EndpointSpec>& endpoints, std::string* error) {
  if (running_) {
    *error = "the device's server is already running";
    return false;
  }
  endpoints_ = endpoints;
  {
    std::lock_guard<std::mutex> lock(faultMutex_);
    faults_.assign(endpoints_.size(), defaultFaults_);
  }
  if (!OpenListeners(error)) return false;
  if (waker_.Open() != platform::kOk) {
    *error = "cannot create the server's waker";
    CloseListeners();
    return false;
  }
  stop_ = false;
  away_ = false;
  restartPending_ = false;
  running_ = true;
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void DeviceServer::Stop() {
  if (!running_) return;
  stop_ = true;
  Wake();
  thread_.join();
  waker_.Close();
  running_ = false;
}

std::string DeviceServer::address(size_t endpoint) const {
  const EndpointSpec& e = endpoints_.at(endpoint);
  return e.host + ":" + std::to_string(e.port);
}

void DeviceServer::SetFaults(const LinkFaults& faults) {
  std::lock_guard<std::mutex> lock(faultMutex_);
  defaultFaults_ = faults;
  for (LinkFaults& f : faults_) f = faults;
}

void DeviceServer::SetFaults(size_t endpoint, const LinkFaults& faults) {
  std::lock_guard<std::mutex> lock(faultMutex_);
  faults_.at(endpoint) = faults;
}

LinkFaults DeviceServer::faults(size_t endpoint) const {
  std::lock_guard<std::mutex> lock(faultMutex_);
  return faults_.at(endpoint);
}

void DeviceServer::Restart() {
  restartRequested_ = true;
  Wake();
}

void DeviceServer::DropConnections() {
  dropRequested_ = true;
  Wake();
}

void DeviceServer::Wake() { waker_.Wake(); }

bool DeviceServer::OpenListeners(std::string* error) {
  for (EndpointSpec& e : endpoints_) {
    platform::TcpListener listener;
    if (listener.Listen(e.host.c_str(), e.port) != platform::kOk) {
      *error = "cannot listen on " + e.host + ":" + std::to_string(e.port) + ": " +
               std::strerror(listener.LastOsError());
      CloseListeners();
      return false;
    }
    // An ephemeral port stays the same across restarts; only the first
    // start (before the loop runs) learns it, so readers never race.
    if (e.port == 0) e.port = listener.port();
    listeners_.push_back(std::move(listener));
  }
  return true;
}

void DeviceServer::CloseListeners() { listeners_.clear(); }

void DeviceServer::Loop() {
  const SimClock& clock = device_.clock();
  while (!stop_) {
    uint64_t now = clock.NowMs();
    if (away_ && now >= awayUntilMs_) ComeBack(now);
    if (dropRequested_.exchange(false)) CloseAll();
    // A restart asked for while the device is away has nothing to restart.
    if ((restartRequested_.exchange(false) || device_.TakeRestartRequest()) && !away_) {
      restartPending_ = true;
    }
    if (restartPending_ && !away_) BeginRestart(now);

    std::vector<platform::PollItem> items;
    platform::PollItem wake;
    wake.handle = waker_.handle();
    wake.wantRead = true;
    items.push_back(wake);
    size_t listenerBase = items.size();
    for (const platform::TcpListener& l : listeners_) {
      platform::PollItem item;
      item.handle = l.handle();
      item.wantRead = true;
      items.push_back(item);
    }
    size_t connectionBase = items.size();
    uint64_t timeout = kIdlePollMs;
    for (const Connection& c : connections_) {
      platform::PollItem item;
      item.handle = c.socket.handle();
      item.wantRead = c.out.size() < kMaxQueuedReplies;
      if (!c.out.empty()) {
        if (c.out.front().dueMs <= now) {
          item.wantWrite = true;
        } else if (c.out.front().dueMs - now < timeout) {
          timeout = c.out.front().dueMs - now + 1;
        }
      }
      items.push_back(item);
    }
    if (away_) {
      uint64_t wait = awayUntilMs_ > now ? awayUntilMs_ - now + 1 : 0;
      if (wait < timeout) timeout = wait;
    }

    if (platform::Poll(items.data(), items.size(), static_cast<uint32_t>(timeout)) !=
        platform::kOk) {
      std::fprintf(stderr, "qxsim: waiting for the device's connections failed\n");
      break;
    }
    if (items[0].readable) waker_.Drain();
    // Listeners and connections as polled; accepting adds connections at
    // the end, which this round does not look at.
    size_t polledConnections = connections_.size();
    for (size_t i = 0; i < listeners_.size() && listenerBase + i < connectionBase; ++i) {
      if (items[listenerBase + i].readable) Accept(i);
    }
    for (size_t i = 0; i < polledConnections; ++i) {
      Connection& c = connections_[i];
      if (c.socket.IsOpen() && items[connectionBase + i].readable) Receive(c);
      if (c.socket.IsOpen()) Serve(c);
      if (c.socket.IsOpen()) Flush(c, clock.NowMs());
    }
    for (size_t i = connections_.size(); i-- > 0;) {
      if (!connections_[i].socket.IsOpen()) connections_.erase(connections_.begin() + i);
    }
    connectionCount_ = connections_.size();
  }
  CloseAll();
  CloseListeners();
}

void DeviceServer::Accept(size_t endpoint) {
  for (;;) {
    platform::TcpSocket socket;
    if (listeners_[endpoint].Accept(&socket, 0) != platform::kOk) return;
    connections_.push_back(Connection{std::move(socket), endpoint, {}, {}, 0, 0});
  }
}

// One chunk per wake-up: the input never holds much more than one request
// (at most MBAP + 65535 bytes) beyond what Serve has not taken yet.
void DeviceServer::Receive(Connection& c) {
  uint8_t chunk[kReceiveChunk];
  size_t n = 0;
  int status = c.socket.Receive(chunk, sizeof chunk, &n, 0);
  if (status == platform::kOk) {
    c.in.insert(c.in.end(), chunk, chunk + n);
  } else if (status != platform::kTimeout) {
    Close(c);  // closed by the peer, or failed
  }
}

std::vector<DeviceServer::Served> DeviceServer::servedLog() const {
  std::lock_guard<std::mutex> lock(servedMutex_);
  return std::vector<Served>(served_.begin(), served_.end());
}

void DeviceServer::Serve(Connection& c) {
  while (c.socket.IsOpen() && c.in.size() >= kMbapBytes && c.out.size() < kMaxQueuedReplies) {
    // Nothing after a restart request reaches the device: it is going down.
    if (!c.out.empty() && c.out.back().restartAfter) return;
    uint16_t protocol = GetU16(c.in, 2);
    uint16_t length = GetU16(c.in, 4);
    if (protocol != 0 || length < 2) {
      Close(c);  // not Modbus TCP: there is no way back into step
      return;
    }
    size_t total = kMbapBytes + length;
    if (c.in.size() < total) return;
    std::vector<uint8_t> request(c.in.begin(), c.in.begin() + total);
    c.in.erase(c.in.begin(), c.in.begin() + total);
    ++c.requests;
    ++requestCount_;
    {
      std::lock_guard<std::mutex> lock(servedMutex_);
      if (served_.size() == kServedLogSize) served_.pop_front();
      uint16_t first = total >= kHeaderBytes + 3 ? GetU16(request, kHeaderBytes + 1) : 0xFFFF;
      served_.push_back(Served{c.endpoint, first});
    }
    LinkFaults f = faults(c.endpoint);
    if (f.dropAfter >= 0 && c.requests > static_cast<uint64_t>(f.dropAfter)) {
      Close(c);
      return;
    }
    if (f.noAnswer) continue;
    bool restart = false;
    std::vector<uint8_t> reply = AnswerRequest(device_, request.data(), request.size(), &restart);
    CorruptHeader(reply, f.corruptHeader);
    c.out.push_back(Pending{device_.clock().NowMs() + f.slowMs, std::move(reply), restart});
  }
}

void DeviceServer::Flush(Connection& c, uint64_t nowMs) {
  while (c.socket.IsOpen() && !c.out.empty() && c.out.front().dueMs <= nowMs) {
    Pending& p = c.out.front();
    size_t n = 0;
    if (c.socket.SendSome(p.bytes.data() + c.sent, p.bytes.size() - c.sent, &n) != platform::kOk) {
      Close(c);
      return;
    }
    if (n == 0) return;  // the peer's window is full: later
    c.sent += n;
    if (c.sent < p.bytes.size()) return;
    bool restart = p.restartAfter;
    c.out.pop_front();
    c.sent = 0;
    if (restart) {
      restartPending_ = true;
      return;  // the loop takes the device away before anything else
    }
  }
}

void DeviceServer::Close(Connection& c) {
  if (!c.socket.IsOpen()) return;
  for (const Pending& p : c.out) {
    if (p.restartAfter) restartPending_ = true;  // the device restarts all the same
  }
  c.socket.Close();
  c.out.clear();
  c.in.clear();
}

void DeviceServer::CloseAll() {
  for (Connection& c : connections_) Close(c);
  connections_.clear();
  connectionCount_ = 0;
}

void DeviceServer::BeginRestart(uint64_t nowMs) {
  restartPending_ = false;
  // Away and deaf first: whoever sees a connection drop must find the
  // device gone, not a listener that is about to close.
  away_ = true;
  CloseListeners();
  // Replies still queued die with the connections, as on the real device.
  for (Connection& c : connections_) c.out.clear();
  CloseAll();
  relistenReported_ = false;
  awayUntilMs_ = nowMs + restartMs_.load();
  if (restartListener_) restartListener_();
}

void DeviceServer::ComeBack(uint64_t nowMs) {
  // Powered on before anyone can connect.
  device_.PowerOn();
  std::string error;
  away_ = false;  // before listening, so that a connected client never sees it set
  if (!OpenListeners(&error)) {
    away_ = true;
    if (!relistenReported_) {
      std::fprintf(stderr, "qxsim: after the restart: %s; retrying\n", error.c_str());
      relistenReported_ = true;
    }
    awayUntilMs_ = nowMs + kRelistenRetryMs;
    return;
  }
}

}  // namespace qxsim
