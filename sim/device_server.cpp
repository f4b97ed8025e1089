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
// Room for one whole request beyond a partial one, so a request is always
// taken in place.
constexpr size_t kInCapacity = 2 * kMaxPacketBytes;
// Sent replies are dropped from the front of the output only past this, so
// a steady exchange never moves bytes.
constexpr size_t kOutCompactBytes = 64 * 1024;

void PutU16(uint8_t* bytes, uint16_t v) {
  bytes[0] = static_cast<uint8_t>(v >> 8);
  bytes[1] = static_cast<uint8_t>(v);
}

uint16_t GetU16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

}  // namespace

void CorruptHeader(uint8_t* reply, size_t size, HeaderFault fault) {
  if (size < kHeaderBytes) return;
  switch (fault) {
    case HeaderFault::kNone:
      break;
    case HeaderFault::kTransactionId:
      PutU16(reply, static_cast<uint16_t>(GetU16(reply) + 1));
      break;
    case HeaderFault::kProtocol:
      PutU16(reply + 2, 1);
      break;
    case HeaderFault::kLength:
      PutU16(reply + 4, static_cast<uint16_t>(kMaxPacketBytes - kMbapBytes + 1));
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

DeviceServer::Connection::Connection(platform::TcpSocket s, size_t e)
    : socket(std::move(s)), endpoint(e), in(new uint8_t[kInCapacity]) {
  out.reserve(2 * kMaxPacketBytes);
}

DeviceServer::DeviceServer(VirtualDevice& device)
    : device_(device), served_(new std::atomic<uint32_t>[kServedLogSize]) {}

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
    ++faultsGeneration_;
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
  ++faultsGeneration_;
}

void DeviceServer::SetFaults(size_t endpoint, const LinkFaults& faults) {
  std::lock_guard<std::mutex> lock(faultMutex_);
  faults_.at(endpoint) = faults;
  ++faultsGeneration_;
}

const LinkFaults& DeviceServer::LoopFaults(size_t endpoint) {
  uint64_t generation = faultsGeneration_.load();
  if (generation != loopFaultsGeneration_) {
    std::lock_guard<std::mutex> lock(faultMutex_);
    loopFaults_ = faults_;
    loopFaultsGeneration_ = generation;
  }
  return loopFaults_[endpoint];
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

    std::vector<platform::PollItem>& items = items_;
    items.clear();
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
    for (const auto& connection : connections_) {
      const Connection& c = *connection;
      platform::PollItem item;
      item.handle = c.socket.handle();
      item.wantRead = c.queued < kQueueSize && c.inEnd < kInCapacity;
      // Requests left behind by a full queue are taken next turn, at once.
      if (RequestWaiting(c)) timeout = 0;
      if (c.queued > 0) {
        uint64_t due = c.queue[c.queueHead].dueMs;
        if (due <= now) {
          item.wantWrite = true;
        } else if (due - now < timeout) {
          timeout = due - now + 1;
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
      Connection& c = *connections_[i];
      if (c.socket.IsOpen() && items[connectionBase + i].readable) Receive(c);
      if (c.socket.IsOpen()) Serve(c);
      if (c.socket.IsOpen()) Flush(c, clock.NowMs());
    }
    for (size_t i = connections_.size(); i-- > 0;) {
      if (!connections_[i]->socket.IsOpen()) connections_.erase(connections_.begin() + i);
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
    connections_.push_back(std::make_unique<Connection>(std::move(socket), endpoint));
  }
}

// What the connection holds, into the free end of its input; an over-long
// request's rest is dropped as it comes.
void DeviceServer::Receive(Connection& c) {
  size_t n = 0;
  int status = c.socket.Receive(c.in.get() + c.inEnd, kInCapacity - c.inEnd, &n, 0);
  if (status == platform::kOk) {
    size_t dropped = n < c.skip ? n : c.skip;
    c.skip -= dropped;
    if (dropped > 0)
      std::memmove(c.in.get() + c.inEnd, c.in.get() + c.inEnd + dropped, n - dropped);
    c.inEnd += n - dropped;
  } else if (status != platform::kTimeout) {
    Close(c);  // closed by the peer, or failed
  }
}

std::vector<DeviceServer::Served> DeviceServer::servedLog() const {
  uint64_t count = servedCount_.load(std::memory_order_acquire);
  uint64_t first = count > kServedLogSize ? count - kServedLogSize : 0;
  std::vector<Served> log;
  log.reserve(static_cast<size_t>(count - first));
  for (uint64_t i = first; i < count; ++i) {
    uint32_t entry = served_[i % kServedLogSize].load(std::memory_order_relaxed);
    log.push_back(Served{entry >> 16, static_cast<uint16_t>(entry)});
  }
  return log;
}

void DeviceServer::LogServed(size_t endpoint, uint16_t firstRegister) {
  uint64_t count = servedCount_.load(std::memory_order_relaxed);
  served_[count % kServedLogSize].store(static_cast<uint32_t>(endpoint << 16 | firstRegister),
                                        std::memory_order_relaxed);
  servedCount_.store(count + 1, std::memory_order_release);
}

void DeviceServer::Serve(Connection& c) {
  TakeRequests(c);
  if (c.inStart == c.inEnd) {
    c.inStart = c.inEnd = 0;
  } else if (c.inStart > 0 && kInCapacity - c.inEnd < kMaxPacketBytes) {
    // What is left is the start of one request: moved only when the end is
    // near, so that a whole request always fits behind it.
    std::memmove(c.in.get(), c.in.get() + c.inStart, c.inEnd - c.inStart);
    c.inEnd -= c.inStart;
    c.inStart = 0;
  }
}

bool DeviceServer::RequestWaiting(const Connection& c) {
  if (c.queued == kQueueSize || c.inEnd - c.inStart < kHeaderBytes) return false;
  if (c.queued > 0 && c.queue[(c.queueHead + c.queued - 1) % kQueueSize].restartAfter) {
    return false;  // nothing more reaches the device
  }
  size_t total = kMbapBytes + GetU16(c.in.get() + c.inStart + 4);
  return total > kMaxPacketBytes || c.inEnd - c.inStart >= total;
}

void DeviceServer::TakeRequests(Connection& c) {
  while (c.socket.IsOpen() && c.inEnd - c.inStart >= kMbapBytes && c.queued < kQueueSize) {
    // Nothing after a restart request reaches the device: it is going down.
    if (c.queued > 0 && c.queue[(c.queueHead + c.queued - 1) % kQueueSize].restartAfter) return;
    const uint8_t* request = c.in.get() + c.inStart;
    size_t have = c.inEnd - c.inStart;
    uint16_t protocol = GetU16(request + 2);
    uint16_t length = GetU16(request + 4);
    if (protocol != 0 || length < 2) {
      Close(c);  // not Modbus TCP: there is no way back into step
      return;
    }
    size_t total = kMbapBytes + length;
    bool overLong = total > kMaxPacketBytes;
    // An over-long request is answered from its header; the rest is dropped.
    if (have < (overLong ? kHeaderBytes : total)) return;
    size_t taken = have < total ? have : total;
    c.inStart += taken;
    c.skip = total - taken;
    ++c.requests;
    ++requestCount_;
    LogServed(c.endpoint, RequestFirstRegister(request, taken));
    const LinkFaults& f = LoopFaults(c.endpoint);
    if (f.dropAfter >= 0 && c.requests > static_cast<uint64_t>(f.dropAfter)) {
      Close(c);
      return;
    }
    if (f.noAnswer) continue;
    bool restart = false;
    uint8_t reply[kMaxPacketBytes];
    size_t size = AnswerRequest(device_, request, total, reply, &restart);
    CorruptHeader(reply, size, f.corruptHeader);
    c.out.insert(c.out.end(), reply, reply + size);
    c.queue[(c.queueHead + c.queued) % kQueueSize] =
        Pending{device_.clock().NowMs() + f.slowMs, c.out.size(), restart};
    ++c.queued;
  }
}

void DeviceServer::Flush(Connection& c, uint64_t nowMs) {
  while (c.socket.IsOpen() && c.queued > 0 && c.queue[c.queueHead].dueMs <= nowMs) {
    // Every reply that is due goes out in one send.
    size_t end = c.queue[c.queueHead].end;
    for (size_t i = 1; i < c.queued; ++i) {
      const Pending& p = c.queue[(c.queueHead + i) % kQueueSize];
      if (p.dueMs > nowMs) break;
      end = p.end;
    }
    size_t n = 0;
    if (c.socket.SendSome(c.out.data() + c.sent, end - c.sent, &n) != platform::kOk) {
      Close(c);
      return;
    }
    c.sent += n;
    bool restart = false;
    while (c.queued > 0 && c.queue[c.queueHead].end <= c.sent) {
      restart = restart || c.queue[c.queueHead].restartAfter;
      c.queueHead = (c.queueHead + 1) % kQueueSize;
      --c.queued;
    }
    if (c.queued == 0) {
      c.out.clear();  // keeps its capacity
      c.sent = 0;
    } else if (c.sent >= kOutCompactBytes) {
      c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(c.sent));
      for (size_t i = 0; i < c.queued; ++i) c.queue[(c.queueHead + i) % kQueueSize].end -= c.sent;
      c.sent = 0;
    }
    if (restart) {
      restartPending_ = true;
      return;  // the loop takes the device away before anything else
    }
    if (n == 0 || c.sent < end) return;  // the peer's window is full: later
  }
}

void DeviceServer::Close(Connection& c) {
  if (!c.socket.IsOpen()) return;
  for (size_t i = 0; i < c.queued; ++i) {
    // The device restarts all the same.
    if (c.queue[(c.queueHead + i) % kQueueSize].restartAfter) restartPending_ = true;
  }
  c.socket.Close();
  c.out.clear();
  c.sent = 0;
  c.queued = 0;
  c.inStart = c.inEnd = 0;
  c.skip = 0;
}

void DeviceServer::CloseAll() {
  for (auto& c : connections_) Close(*c);
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
  for (auto& c : connections_) c->queued = 0;
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
