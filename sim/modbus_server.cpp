#include "sim/modbus_server.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/sim_protocol.h"

namespace qxsim {

namespace {

constexpr int kIdlePollMs = 200;
constexpr int kRelistenRetryMs = 200;
constexpr size_t kReceiveChunk = 4096;
// A client that sends without reading stops being read from once this many
// replies wait for it, so nothing grows without bound.
constexpr size_t kMaxQueuedReplies = 64;

int Listen(const std::string& host, uint16_t port, uint16_t* bound, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) {
    *error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
    return -1;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("cannot create a socket: ") + std::strerror(errno);
    ::freeaddrinfo(found);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 16) != 0) {
    *error = "cannot listen on " + host + ":" + service + ": " + std::strerror(errno);
    ::freeaddrinfo(found);
    ::close(fd);
    return -1;
  }
  ::freeaddrinfo(found);
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  *bound = ntohs(local.sin_port);
  return fd;
}

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

bool ParseEndpoint(const std::string& text, uint16_t defaultPort, EndpointSpec* spec,
                   std::string* error) {
  size_t colon = text.rfind(':');
  std::string host = colon == std::string::npos ? text : text.substr(0, colon);
  if (host.empty()) {
    *error = "endpoint '" + text + "' has no host";
    return false;
  }
  long port = defaultPort;
  if (colon != std::string::npos) {
    std::string digits = text.substr(colon + 1);
    char* end = nullptr;
    port = digits.empty() ? -1 : std::strtol(digits.c_str(), &end, 10);
    if (port < 0 || port > 65535 || end == nullptr || *end != '\0') {
      *error = "endpoint '" + text + "' has a bad port";
      return false;
    }
  } else if (defaultPort == 0) {
    *error = "endpoint '" + text + "' needs host:port";
    return false;
  }
  spec->host = host;
  spec->port = static_cast<uint16_t>(port);
  return true;
}

ModbusServer::ModbusServer(VirtualDevice& device) : device_(device) {}

ModbusServer::~ModbusServer() { Stop(); }

bool ModbusServer::Start(const std::vector<EndpointSpec>& endpoints, std::string* error) {
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
  if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
    *error = std::string("cannot create a pipe: ") + std::strerror(errno);
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

void ModbusServer::Stop() {
  if (!running_) return;
  stop_ = true;
  Wake();
  thread_.join();
  ::close(wake_[0]);
  ::close(wake_[1]);
  wake_[0] = wake_[1] = -1;
  running_ = false;
}

std::string ModbusServer::address(size_t endpoint) const {
  const EndpointSpec& e = endpoints_.at(endpoint);
  return e.host + ":" + std::to_string(e.port);
}

void ModbusServer::SetFaults(const LinkFaults& faults) {
  std::lock_guard<std::mutex> lock(faultMutex_);
  defaultFaults_ = faults;
  for (LinkFaults& f : faults_) f = faults;
}

void ModbusServer::SetFaults(size_t endpoint, const LinkFaults& faults) {
  std::lock_guard<std::mutex> lock(faultMutex_);
  faults_.at(endpoint) = faults;
}

LinkFaults ModbusServer::faults(size_t endpoint) const {
  std::lock_guard<std::mutex> lock(faultMutex_);
  return faults_.at(endpoint);
}

void ModbusServer::Restart() {
  restartRequested_ = true;
  Wake();
}

void ModbusServer::DropConnections() {
  dropRequested_ = true;
  Wake();
}

void ModbusServer::Wake() {
  if (wake_[1] < 0) return;
  uint8_t byte = 1;
  // A full pipe already holds a wake-up.
  ssize_t ignored = ::write(wake_[1], &byte, 1);
  (void)ignored;
}

bool ModbusServer::OpenListeners(std::string* error) {
  for (EndpointSpec& e : endpoints_) {
    uint16_t bound = 0;
    int fd = Listen(e.host, e.port, &bound, error);
    if (fd < 0) {
      CloseListeners();
      return false;
    }
    // An ephemeral port stays the same across restarts; only the first
    // start (before the loop runs) learns it, so readers never race.
    if (e.port == 0) e.port = bound;
    listeners_.push_back(fd);
  }
  return true;
}

void ModbusServer::CloseListeners() {
  for (int fd : listeners_) ::close(fd);
  listeners_.clear();
}

void ModbusServer::Loop() {
  while (!stop_) {
    Clock::time_point now = Clock::now();
    if (away_ && now >= awayUntil_) ComeBack(now);
    if (dropRequested_.exchange(false)) CloseAll();
    // A restart asked for while the device is away has nothing to restart.
    if ((restartRequested_.exchange(false) || device_.TakeRestartRequest()) && !away_) {
      restartPending_ = true;
    }
    if (restartPending_ && !away_) BeginRestart(now);

    std::vector<pollfd> fds;
    fds.push_back(pollfd{wake_[0], POLLIN, 0});
    size_t listenerBase = fds.size();
    for (int fd : listeners_) fds.push_back(pollfd{fd, POLLIN, 0});
    size_t connectionBase = fds.size();
    int timeout = kIdlePollMs;
    for (const Connection& c : connections_) {
      short events = c.out.size() < kMaxQueuedReplies ? POLLIN : 0;
      if (!c.out.empty()) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(c.out.front().due - now);
        if (wait.count() <= 0) {
          events |= POLLOUT;
        } else if (wait.count() < timeout) {
          timeout = static_cast<int>(wait.count()) + 1;
        }
      }
      fds.push_back(pollfd{c.fd, events, 0});
    }
    if (away_) {
      auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(awayUntil_ - now);
      if (wait.count() < timeout)
        timeout = wait.count() < 0 ? 0 : static_cast<int>(wait.count()) + 1;
    }

    int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "qxsim: poll failed: %s\n", std::strerror(errno));
      break;
    }
    if (fds[0].revents & POLLIN) {
      uint8_t drain[64];
      while (::read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
    if (ready <= 0) continue;
    // Listeners and connections as polled; accepting adds connections at
    // the end, which this round does not look at.
    size_t polledConnections = connections_.size();
    for (size_t i = 0; i < listeners_.size() && listenerBase + i < connectionBase; ++i) {
      if (fds[listenerBase + i].revents & POLLIN) Accept(i);
    }
    now = Clock::now();
    for (size_t i = 0; i < polledConnections; ++i) {
      Connection& c = connections_[i];
      short revents = fds[connectionBase + i].revents;
      if (c.fd >= 0 && (revents & (POLLIN | POLLHUP | POLLERR))) Receive(c);
      if (c.fd >= 0) Serve(c);
      if (c.fd >= 0) Flush(c, Clock::now());
    }
    for (size_t i = connections_.size(); i-- > 0;) {
      if (connections_[i].fd < 0) connections_.erase(connections_.begin() + i);
    }
    connectionCount_ = connections_.size();
  }
  CloseAll();
  CloseListeners();
}

void ModbusServer::Accept(size_t endpoint) {
  for (;;) {
    int fd = ::accept4(listeners_[endpoint], nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    connections_.push_back(Connection{fd, endpoint, {}, {}, 0, 0});
  }
}

// One chunk per wake-up: the input never holds much more than one request
// (at most MBAP + 65535 bytes) beyond what Serve has not taken yet.
void ModbusServer::Receive(Connection& c) {
  uint8_t chunk[kReceiveChunk];
  ssize_t n;
  do {
    n = ::recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    c.in.insert(c.in.end(), chunk, chunk + n);
  } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
    Close(c);  // closed by the peer, or failed
  }
}

void ModbusServer::Serve(Connection& c) {
  while (c.fd >= 0 && c.in.size() >= kMbapBytes && c.out.size() < kMaxQueuedReplies) {
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
    LinkFaults f = faults(c.endpoint);
    if (f.dropAfter >= 0 && c.requests > static_cast<uint64_t>(f.dropAfter)) {
      Close(c);
      return;
    }
    if (f.noAnswer) continue;
    bool restart = false;
    std::vector<uint8_t> reply = AnswerRequest(device_, request, &restart);
    CorruptHeader(reply, f.corruptHeader);
    c.out.push_back(
        Pending{Clock::now() + std::chrono::milliseconds(f.slowMs), std::move(reply), restart});
  }
}

std::vector<uint8_t> AnswerRequest(VirtualDevice& device, const std::vector<uint8_t>& request,
                                   bool* restart) {
  *restart = false;
  uint8_t function = request[7];
  std::vector<uint8_t> data;
  uint8_t e = kExceptionNone;
  if (request.size() > kMaxPacketBytes) {
    e = kIllegalDataValue;
  } else if (function != kFeedbackFunction) {
    e = kIllegalFunction;
  } else {
    e = device.Feedback(request.data() + kHeaderBytes, request.size() - kHeaderBytes, &data);
    *restart = device.TakeRestartRequest();
  }
  size_t body = e != kExceptionNone ? 1 : data.size();
  std::vector<uint8_t> reply(kHeaderBytes + body);
  std::memcpy(reply.data(), request.data(), kHeaderBytes);
  if (e != kExceptionNone) {
    reply[7] = static_cast<uint8_t>(function | kExceptionFlag);
    reply[kHeaderBytes] = e;
  } else if (body > 0) {
    std::memcpy(reply.data() + kHeaderBytes, data.data(), body);
  }
  PutU16(reply, 4, static_cast<uint16_t>(reply.size() - kMbapBytes));
  return reply;
}

void ModbusServer::Flush(Connection& c, Clock::time_point now) {
  while (c.fd >= 0 && !c.out.empty() && c.out.front().due <= now) {
    Pending& p = c.out.front();
    ssize_t n =
        ::send(c.fd, p.bytes.data() + c.sent, p.bytes.size() - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      Close(c);
      return;
    }
    c.sent += static_cast<size_t>(n);
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

void ModbusServer::Close(Connection& c) {
  if (c.fd < 0) return;
  for (const Pending& p : c.out) {
    if (p.restartAfter) restartPending_ = true;  // the device restarts all the same
  }
  ::close(c.fd);
  c.fd = -1;
  c.out.clear();
  c.in.clear();
}

void ModbusServer::CloseAll() {
  for (Connection& c : connections_) Close(c);
  connections_.clear();
  connectionCount_ = 0;
}

void ModbusServer::BeginRestart(Clock::time_point now) {
  restartPending_ = false;
  // Away and deaf first: whoever sees a connection drop must find the
  // device gone, not a listener that is about to close.
  away_ = true;
  CloseListeners();
  // Replies still queued die with the connections, as on the real device.
  for (Connection& c : connections_) c.out.clear();
  CloseAll();
  relistenReported_ = false;
  awayUntil_ = now + std::chrono::milliseconds(restartMs_.load());
  if (restartListener_) restartListener_();
}

void ModbusServer::ComeBack(Clock::time_point now) {
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
    awayUntil_ = now + std::chrono::milliseconds(kRelistenRetryMs);
    return;
  }
}

}  // namespace qxsim
