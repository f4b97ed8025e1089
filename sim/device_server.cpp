#include "sim/device_server.h"

#include <cstdio>
#include <cstring>

#include "platform/byte_order.h"
#include "platform/clock.h"
#include "platform/status.h"
#include "qxm/qxm_errors.h"
#include "sim/core/protocol.h"
#include "sim/feedback.h"

namespace qxsim {

namespace {

constexpr int kIdlePollMs = 200;
constexpr int kRelistenRetryMs = 200;
// Room for one whole request beyond a partial one, so a request is always
// taken in place.
constexpr size_t kInCapacity = 2 * kMaxPacketBytes;
// Replies gathered for one send.
constexpr size_t kOutCapacity = 4 * kMaxPacketBytes;
// A connection's read wakes this often to look at the stop flag (a stop
// also shuts the socket, which ends the read at once).
constexpr uint32_t kReadWaitMs = 1000;
// A peer that takes no reply for this long is dropped.
constexpr uint32_t kSendTimeoutMs = 10000;
// The next request of a station's exchange comes within this long of the
// last reply: caught awake, it spares the wake-up of a sleeping thread.
constexpr uint32_t kRequestSpinUs = 50;

}  // namespace

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

DeviceServer::Connection::Connection(platform::TcpSocket s, size_t e, VirtualDevice& d,
                                     std::function<int(Connection&, uint32_t)> hold)
    : socket(std::move(s)),
      endpoint(e),
      device(d),
      link(device, [this, hold](uint32_t ms) { return hold(*this, ms); }),
      in(new uint8_t[kInCapacity]),
      out(new uint8_t[kOutCapacity]) {
  socket.SetSpinUs(kRequestSpinUs);
}

DeviceServer::DeviceServer(VirtualDevice& device)
    : device_(device), served_(new std::atomic<uint64_t>[kServedLogSize]) {
  for (size_t i = 0; i < kServedLogSize; ++i) served_[i].store(0, std::memory_order_relaxed);
}

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
  restartReplied_ = false;
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

void DeviceServer::UpdateFaults(Connection& c) {
  uint64_t generation = faultsGeneration_.load();
  if (generation == c.faultsGeneration) return;
  std::lock_guard<std::mutex> lock(faultMutex_);
  c.link.Set(faults_[c.endpoint]);
  c.faultsGeneration = generation;
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
    if ((restartRequested_.exchange(false) || restartReplied_.exchange(false)) && !away_) {
      restartPending_ = true;
    }
    if (restartPending_ && !away_) BeginRestart(now);
    CloseIdle(now);
    Reap();

    std::vector<platform::PollItem>& items = items_;
    items.clear();
    platform::PollItem wake;
    wake.handle = waker_.handle();
    wake.wantRead = true;
    items.push_back(wake);
    for (const platform::TcpListener& l : listeners_) {
      platform::PollItem item;
      item.handle = l.handle();
      item.wantRead = true;
      items.push_back(item);
    }
    uint64_t timeout = kIdlePollMs;
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
    for (size_t i = 0; i < listeners_.size() && i + 1 < items.size(); ++i) {
      if (items[i + 1].readable) Accept(i);
    }
  }
  CloseAll();
  CloseListeners();
}

void DeviceServer::Accept(size_t endpoint) {
  for (;;) {
    platform::TcpSocket socket;
    if (listeners_[endpoint].Accept(&socket, 0) != platform::kOk) return;
    // Beyond the device's connections, a new one is closed at once.
    if (connections_.size() >= kMaxConnections) continue;
    // A slow reply is held on the connection's own thread and dies with the
    // connection. The clock counts whole milliseconds: one more makes the
    // hold at least as long as asked.
    auto hold = [this](Connection& c, uint32_t ms) {
      return HoldBack(c, device_.clock().NowMs() + ms + 1) ? QXM_OK : QXM_ERR_CONNECTION_LOST;
    };
    connections_.push_back(
        std::make_unique<Connection>(std::move(socket), endpoint, device_, hold));
    Connection* c = connections_.back().get();
    c->activeMs = device_.clock().NowMs();
    c->thread = std::thread([this, c] { Serve(*c); });
    connectionCount_ = connections_.size();
  }
}

void DeviceServer::Serve(Connection& c) {
  while (!c.closing && TakeRequests(c)) {
    if (c.restartSent || c.inStart == c.inEnd) {
      // Going down, nothing more is taken; or all was taken.
      c.inStart = c.inEnd = 0;
    } else if (c.inStart > 0 && kInCapacity - c.inEnd < kMaxPacketBytes) {
      // What is left is the start of one request: moved only when the end
      // is near, so that a whole request always fits behind it.
      std::memmove(c.in.get(), c.in.get() + c.inStart, c.inEnd - c.inStart);
      c.inEnd -= c.inStart;
      c.inStart = 0;
    }
    size_t n = 0;
    int status = c.socket.Receive(c.in.get() + c.inEnd, kInCapacity - c.inEnd, &n, kReadWaitMs);
    if (status == platform::kTimeout) continue;
    if (status != platform::kOk) break;  // closed by the peer, shut by the loop, or failed
    c.activeMs = device_.clock().NowMs();
    // An over-long request's rest is dropped as it comes.
    size_t dropped = n < c.skip ? n : c.skip;
    c.skip -= dropped;
    if (dropped > 0) {
      std::memmove(c.in.get() + c.inEnd, c.in.get() + c.inEnd + dropped, n - dropped);
    }
    c.inEnd += n - dropped;
  }
  // The peer sees the close now; the loop closes the handle once this
  // thread is joined, so the handle is never reused under a read.
  c.socket.Shutdown();
  c.done = true;
  Wake();
}

std::vector<DeviceServer::Served> DeviceServer::servedLog() const {
  uint64_t count = servedCount_.load(std::memory_order_acquire);
  uint64_t first = count > kServedLogSize ? count - kServedLogSize : 0;
  std::vector<Served> log;
  log.reserve(static_cast<size_t>(count - first));
  for (uint64_t i = first; i < count; ++i) {
    const uint64_t sequence = (i + 1) & 0xFFFFFFFFu;
    uint64_t entry = served_[i % kServedLogSize].load(std::memory_order_acquire);
    // A writer between taking its number and writing its entry is a few
    // instructions from done.
    for (int tries = 0; (entry >> 32) != sequence && tries < 1000; ++tries) {
      platform::YieldThread();
      entry = served_[i % kServedLogSize].load(std::memory_order_acquire);
    }
    if ((entry >> 32) != sequence) continue;
    log.push_back(Served{static_cast<size_t>(entry >> 16 & 0xFFFF), static_cast<uint16_t>(entry)});
  }
  return log;
}

void DeviceServer::LogServed(size_t endpoint, uint16_t firstRegister) {
  uint64_t index = servedCount_.fetch_add(1, std::memory_order_acq_rel);
  uint64_t entry = ((index + 1) & 0xFFFFFFFFu) << 32 | (endpoint & 0xFFFF) << 16 | firstRegister;
  served_[index % kServedLogSize].store(entry, std::memory_order_release);
}

bool DeviceServer::TakeRequests(Connection& c) {
  while (!c.restartSent && c.inEnd - c.inStart >= kMbapBytes) {
    const uint8_t* request = c.in.get() + c.inStart;
    size_t have = c.inEnd - c.inStart;
    uint16_t protocol = GetU16BE(request, have, 2);
    uint16_t length = GetU16BE(request, have, 4);
    if (protocol != 0 || length < 2) return false;  // not Modbus TCP: no way back into step
    size_t total = kMbapBytes + length;
    bool overLong = total > kMaxPacketBytes;
    // An over-long request is answered from its header; the rest is dropped.
    if (have < (overLong ? kHeaderBytes : total)) break;
    size_t taken = have < total ? have : total;
    c.inStart += taken;
    c.skip = total - taken;
    ++requestCount_;
    LogServed(c.endpoint, RequestFirstRegister(request, taken));
    UpdateFaults(c);
    // A slow reply waits alone: the replies before it go now.
    if ((c.link.faults().slowMs > 0 || kOutCapacity - c.outEnd < kMaxPacketBytes) && !Flush(c)) {
      return false;
    }
    uint8_t* slot = c.out.get() + c.outEnd;
    std::memcpy(slot, request, overLong ? kHeaderBytes : total);
    int unused = 0;
    int code = c.link.Exchange(slot, &unused);
    if (code == QXM_ERR_REPLY_TIMEOUT) continue;  // vanished unanswered
    if (code != QXM_OK) return false;             // the connection closes
    c.outEnd += c.link.replyBytes();
    if (c.device.TakeRestartRequest()) {
      // The reply goes out first; then the loop takes the device away.
      if (!Flush(c)) return false;
      c.restartSent = true;
      restartReplied_ = true;
      Wake();
    }
  }
  return Flush(c);
}

bool DeviceServer::Flush(Connection& c) {
  if (c.outEnd == 0) return true;
  size_t size = c.outEnd;
  c.outEnd = 0;
  return !c.closing && c.socket.SendAll(c.out.get(), size, kSendTimeoutMs) == platform::kOk;
}

bool DeviceServer::HoldBack(Connection& c, uint64_t dueMs) {
  const SimClock& clock = device_.clock();
  for (;;) {
    if (c.closing || stop_) return false;  // dies with the connection, as on the device
    uint64_t now = clock.NowMs();
    c.activeMs = now;  // busy with a request, not idle
    if (now >= dueMs) return true;
    uint64_t wait = dueMs - now;
    platform::SystemClock().SleepMs(static_cast<uint32_t>(wait < 10 ? wait : 10));
  }
}

void DeviceServer::Reap() {
  for (size_t i = connections_.size(); i-- > 0;) {
    Connection& c = *connections_[i];
    if (!c.done) continue;
    c.thread.join();
    connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(i));
  }
  connectionCount_ = connections_.size();
}

void DeviceServer::CloseIdle(uint64_t nowMs) {
  uint32_t idle = idleTimeoutMs_;
  if (idle == 0) return;
  for (auto& c : connections_) {
    uint64_t active = c->activeMs;
    if (c->closing || nowMs < active || nowMs - active < idle) continue;
    // The thread sees its read end and goes; Reap joins it.
    c->closing = true;
    c->socket.Shutdown();
  }
}

void DeviceServer::CloseAll() {
  // Every read and send ends at the shutdown; the handles close after.
  for (auto& c : connections_) {
    c->closing = true;
    c->socket.Shutdown();
  }
  for (auto& c : connections_) c->thread.join();
  connections_.clear();
  connectionCount_ = 0;
}

void DeviceServer::BeginRestart(uint64_t nowMs) {
  restartPending_ = false;
  // Away and deaf first: whoever sees a connection drop must find the
  // device gone, not a listener that is about to close.
  away_ = true;
  CloseListeners();
  // Replies still held back die with the connections, as on the real device.
  CloseAll();
  restartReplied_ = false;
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
