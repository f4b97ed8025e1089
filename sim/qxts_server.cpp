#include "sim/qxts_server.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/file.h"
#include "platform/number.h"
#include "platform/settings.h"
#include "platform/socket.h"
#include "platform/status.h"

namespace qxsim {

namespace {

// A request line longer than this is refused and the connection dropped.
constexpr size_t kMaxLine = 64 * 1024;
// A client whose replies pile up beyond this is not read from until it
// takes them.
constexpr size_t kMaxUnsent = 64 * 1024;
// The loop looks at Stop at least this often.
constexpr uint32_t kIdleMs = 200;
// Clients beyond those served wait here; a burst of them is not turned away.
constexpr int kListenBacklog = 256;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
}

std::string ReplyLine(int status) { return Format("%03d\r\n", status); }

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Parses exactly `digits` hex digits (0: any number from 1 to 16).
bool ParseHexText(const std::string& text, size_t digits, uint64_t* value) {
  if (text.empty() || text.size() > 16 || (digits != 0 && text.size() != digits)) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (!IsHex(c)) return false;
    v = (v << 4) | static_cast<uint64_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  *value = v;
  return true;
}

bool ParseDecimal(const char* text, uint64_t* value) {
  return platform::ParseDecimalNumber(text, UINT64_MAX, value);
}

// "test 0x<16 hex> {...}" and its kin.
bool WellFormedResult(const std::string& line, const std::string& command) {
  std::string head = command + " 0x";
  if (line.compare(0, head.size(), head) != 0) return false;
  size_t serialEnd = head.size() + 16;
  if (line.size() < serialEnd + 3) return false;
  for (size_t i = head.size(); i < serialEnd; ++i) {
    if (!IsHex(line[i])) return false;
  }
  return line.compare(serialEnd, 2, " {") == 0 && line.back() == '}';
}

}  // namespace

bool ParseServerFault(const std::string& text, ServerFault* fault, int* status) {
  if (text == "none") {
    *fault = ServerFault::kNone;
  } else if (text == "close") {
    *fault = ServerFault::kClose;
  } else if (text == "split") {
    *fault = ServerFault::kSplitReply;
  } else if (text == "silent") {
    *fault = ServerFault::kSilent;
  } else if (text == "error") {
    *fault = ServerFault::kErrorStatus;
  } else if (text.compare(0, 6, "error:") == 0) {
    uint64_t value = 0;
    // A status has three digits; 200 would not be an error.
    if (text.size() != 9 || !ParseDecimal(text.c_str() + 6, &value) || value == 200) return false;
    *fault = ServerFault::kErrorStatus;
    *status = static_cast<int>(value);
  } else {
    return false;
  }
  return true;
}

namespace {

bool TakeEndpoint(const std::string& text, TestServerOptions* options) {
  char host[256];
  uint16_t port = 0;
  if (platform::ParseEndpoint(text.c_str(), 0, host, sizeof host, &port, true) != platform::kOk) {
    return false;
  }
  options->host = host;
  options->port = port;
  return true;
}

void AddServerFaultOptions(cli::OptionTable* table, TestServerOptions* o) {
  table->Option("--ts-fault KIND", "none, error[:NNN], close, split or silent", [o](cli::Value& v) {
    if (ParseServerFault(v.string(), &o->fault, &o->faultStatus)) return true;
    return v.Refuse(cli::Says("bad test server fault: "));
  });
  table->Option("--ts-fault-on COMMAND", "only for ID, serial, mac, jn, test, qtest or cal",
                cli::Text(&o->faultCommand));
}

}  // namespace

void AddTestServerOptions(cli::OptionTable* table, TestServerOptions* o) {
  table->Option("--ts-endpoint HOST:PORT", "test server endpoint (default: QXTS_ENDPOINT)",
                [o](cli::Value& v) {
                  if (TakeEndpoint(v.string(), o)) return true;
                  return v.Refuse(cli::Says("bad test server endpoint: "));
                });
  table->Option("--ts-state FILE", "keep the next serial number and MAC in FILE",
                cli::Text(&o->stateFile));
  table->Option("--ts-results FILE", "append every result message to FILE",
                cli::Text(&o->resultsFile));
  AddServerFaultOptions(table, o);
  table->Option("--ts-first-serial N", "first serial number handed out",
                cli::Whole(&o->firstSerial, UINT64_MAX, cli::Says("bad serial number: ")));
  table->Option("--ts-first-mac HEX", "first MAC address handed out (12 hex digits)",
                [o](cli::Value& v) {
                  if (ParseHexText(v.string(), 12, &o->firstMac)) return true;
                  return v.Refuse(cli::Says("bad MAC address (12 hex digits): "));
                });
  table->Option(
      "--ts-idle-timeout S", "close a connection silent for S seconds\n(3600; 0: never)",
      cli::Whole(0, 86400, cli::Says("bad idle time-out (0..86400 seconds, 0: never): "),
                 [o](uint64_t s) { o->idleTimeoutMs = static_cast<uint32_t>(s * 1000); }));
}

bool DefaultTestServerOptions(TestServerOptions* options, std::string* error) {
  *options = TestServerOptions();
  const char* setting = platform::Setting("QXTS_ENDPOINT");
  if (TakeEndpoint(setting, options)) return true;
  *error = std::string("QXTS_ENDPOINT is not host:port: ") + setting;
  return false;
}

struct TestServer::Client {
  platform::TcpSocket socket;
  std::string in;
  std::string out;    // due now
  std::string later;  // a split reply's second part
  uint64_t laterAtMs = 0;
  uint64_t activeMs = 0;  // when it last sent or was sent something
  bool identified = false;
  bool closeWhenSent = false;
};

TestServer::TestServer(TestServerOptions options)
    : options_(std::move(options)),
      nextSerial_(options_.firstSerial),
      nextMac_(options_.firstMac) {}

TestServer::~TestServer() { Stop(); }

std::string TestServer::endpoint() const { return options_.host + ":" + std::to_string(port_); }

bool TestServer::Start(std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  Stop();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    nextSerial_ = options_.firstSerial;
    nextMac_ = options_.firstMac;
    results_.clear();
    requests_.clear();
    connections_ = 0;
    if (!ClaimState(error)) return false;
    if (!LoadState(error)) {
      stateLock_.Release();
      return false;
    }
  }
  if (listener_.Listen(options_.host.c_str(), options_.port, kListenBacklog) != platform::kOk) {
    *error = "test server: cannot listen on " + options_.host + ":" +
             std::to_string(options_.port) + ": " + std::strerror(listener_.LastOsError());
    stateLock_.Release();
    return false;
  }
  if (waker_.Open() != platform::kOk) {
    *error = "test server: cannot create its waker";
    listener_.Close();
    stateLock_.Release();
    return false;
  }
  port_ = listener_.port();
  stop_ = false;
  thread_ = std::thread(&TestServer::Loop, this);
  return true;
}

void TestServer::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  waker_.Wake();
  thread_.join();
  clients_.clear();
  open_ = 0;
  listener_.Close();
  waker_.Close();
  stateLock_.Release();
}

void TestServer::Loop() {
  while (!stop_) {
    uint64_t now = options_.clock.NowMs();
    uint64_t timeout = kIdleMs;
    std::vector<platform::PollItem> items(2 + clients_.size());
    items[0].handle = waker_.handle();
    items[0].wantRead = true;
    items[1].handle = listener_.handle();
    items[1].wantRead = clients_.size() < kMaxTestServerClients;
    for (size_t i = 0; i < clients_.size(); ++i) {
      Client& c = *clients_[i];
      platform::PollItem& item = items[2 + i];
      item.handle = c.socket.handle();
      item.wantRead = c.out.size() + c.later.size() < kMaxUnsent;
      item.wantWrite = !c.out.empty();
      if (c.out.empty() && !c.later.empty()) {
        uint64_t wait = c.laterAtMs > now ? c.laterAtMs - now : 0;
        if (wait < timeout) timeout = wait;
      }
    }
    if (platform::Poll(items.data(), items.size(), static_cast<uint32_t>(timeout)) !=
        platform::kOk) {
      break;
    }
    if (items[0].readable) waker_.Drain();
    if (stop_) break;
    now = options_.clock.NowMs();
    size_t polled = clients_.size();
    for (size_t i = 0; i < polled; ++i) {
      Client& c = *clients_[i];
      bool keep = true;
      if (items[2 + i].readable) keep = Receive(c);
      if (keep) Process(c);
      if (keep) keep = Flush(c, now);
      if (keep && options_.idleTimeoutMs != 0 && c.out.empty() && c.later.empty() &&
          now >= c.activeMs && now - c.activeMs >= options_.idleTimeoutMs) {
        keep = false;
      }
      if (!keep) c.socket.Close();
    }
    // Finished connections go at once; nothing is kept for them.
    for (size_t i = clients_.size(); i-- > 0;) {
      if (!clients_[i]->socket.IsOpen()) clients_.erase(clients_.begin() + i);
    }
    if (items[1].readable) Accept();
    open_ = clients_.size();
  }
  clients_.clear();
}

void TestServer::Accept() {
  while (clients_.size() < kMaxTestServerClients) {
    auto c = std::make_unique<Client>();
    if (listener_.Accept(&c->socket, 0) != platform::kOk) return;
    c->activeMs = options_.clock.NowMs();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++connections_;
    }
    clients_.push_back(std::move(c));
  }
}

bool TestServer::Receive(Client& c) {
  char chunk[4096];
  size_t got = 0;
  int status = c.socket.Receive(chunk, sizeof chunk, &got, 0);
  if (status == platform::kTimeout) return true;
  if (status != platform::kOk) return false;  // closed by the peer, or failed
  c.in.append(chunk, got);
  c.activeMs = options_.clock.NowMs();
  return true;
}

void TestServer::Process(Client& c) {
  size_t lineEnd;
  // A split reply's second part goes before anything else is answered.
  while (!c.closeWhenSent && c.later.empty() && c.out.size() < kMaxUnsent &&
         (lineEnd = c.in.find('\n')) != std::string::npos) {
    std::string line = c.in.substr(0, lineEnd);
    c.in.erase(0, lineEnd + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    bool close = false;
    bool silent = false;
    bool split = false;
    std::string reply = Handle(line, &c.identified, &close, &silent, &split);
    if (!silent && !reply.empty()) {
      if (split && reply.size() > 1) {
        size_t first = options_.splitAt == 0 ? reply.size() / 2 : options_.splitAt;
        if (first >= reply.size()) first = reply.size() - 1;
        c.out += reply.substr(0, first);
        c.later = reply.substr(first);
        c.laterAtMs = options_.clock.NowMs() + options_.splitPauseMs;
      } else {
        c.out += reply;
      }
    }
    if (close) c.closeWhenSent = true;
  }
  if (!c.closeWhenSent && c.in.find('\n') == std::string::npos && c.in.size() > kMaxLine) {
    c.out += ReplyLine(413);
    c.in.clear();
    c.closeWhenSent = true;
  }
}

bool TestServer::Flush(Client& c, uint64_t nowMs) {
  if (c.out.empty() && !c.later.empty() && nowMs >= c.laterAtMs) {
    c.out.swap(c.later);
    c.later.clear();
  }
  if (!c.out.empty()) {
    size_t sent = 0;
    if (c.socket.SendSome(c.out.data(), c.out.size(), &sent) != platform::kOk) return false;
    c.out.erase(0, sent);
    if (sent > 0) c.activeMs = nowMs;
  }
  return !(c.closeWhenSent && c.out.empty() && c.later.empty());
}

std::string TestServer::Handle(const std::string& line, bool* identified, bool* close, bool* silent,
                               bool* split) {
  std::vector<std::string> words = SplitWords(line);
  std::string command = words.empty() ? std::string() : words[0];
  ServerFault fault;
  int faultStatus;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(line);
    if (requests_.size() > kKeptRequests) requests_.pop_front();
    fault = options_.fault;
    faultStatus = options_.faultStatus;
    if (!options_.faultCommand.empty() && options_.faultCommand != command) {
      fault = ServerFault::kNone;
    }
  }
  switch (fault) {
    case ServerFault::kErrorStatus:
      return ReplyLine(faultStatus);
    case ServerFault::kClose:
      *close = true;
      return std::string();
    case ServerFault::kSilent:
      *silent = true;
      return std::string();
    case ServerFault::kSplitReply:
      *split = true;
      break;
    case ServerFault::kNone:
      break;
  }

  if (command == "ID") {
    if (!IdentityMatches(line)) {
      // A station that cannot identify itself gets nothing more.
      *close = true;
      return ReplyLine(401);
    }
    *identified = true;
    return ReplyLine(200);
  }
  if (!*identified) return ReplyLine(403);
  if (line == "serial") return HandOut(true, false);
  if (line == "mac") return HandOut(false, true);
  if (line == "jn mac") return HandOut(true, true);
  if (command == "test" || command == "qtest" || command == "cal") {
    if (!WellFormedResult(line, command)) return ReplyLine(400);
    return StoreResult(line);
  }
  return ReplyLine(400);
}

bool TestServer::IdentityMatches(const std::string& line) const {
  std::vector<std::string> words = SplitWords(line);
  if (words.size() != 5 ||
      line != "ID " + words[1] + " " + words[2] + " " + words[3] + " " + words[4]) {
    return false;
  }
  uint64_t jig = 0;
  uint64_t password = 0;
  if (words[3].compare(0, 5, "QXTJ:") != 0 || words[4].compare(0, 3, "PW:") != 0) return false;
  if (!ParseHexText(words[3].substr(5), 8, &jig) ||
      !ParseHexText(words[4].substr(3), 8, &password)) {
    return false;
  }
  return words[1] == options_.name && words[2] == options_.version && jig == options_.jigId &&
         password == options_.password;
}

std::string TestServer::HandOut(bool serial, bool mac) {
  std::lock_guard<std::mutex> lock(mutex_);
  if ((serial && nextSerial_ > options_.lastSerial) || (mac && nextMac_ > options_.lastMac)) {
    return ReplyLine(503);  // the range is used up
  }
  uint64_t newSerial = serial ? nextSerial_ + 1 : nextSerial_;
  uint64_t newMac = mac ? nextMac_ + 1 : nextMac_;
  // The number counts as used once the state is on disk, before anyone sees
  // it: a crash after the reply must not hand it out again.
  if (!SaveState(newSerial, newMac)) return ReplyLine(500);
  std::string reply = "200";
  if (serial) reply += Format(" 0x%016" PRIX64, nextSerial_);
  if (mac) reply += Format(" 0x%016" PRIX64, nextMac_);
  nextSerial_ = newSerial;
  nextMac_ = newMac;
  return reply + "\r\n";
}

std::string TestServer::StoreResult(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!options_.resultsFile.empty()) {
    std::string record = line + "\n";
    if (platform::AppendToFile(options_.resultsFile.c_str(), record.data(), record.size()) !=
        platform::kOk) {
      return ReplyLine(500);
    }
  }
  results_.push_back(line);
  return ReplyLine(200);
}

// Two servers on one state file would hand out every number twice.
bool TestServer::ClaimState(std::string* error) {
  if (options_.stateFile.empty()) return true;
  std::string lockPath = options_.stateFile + ".lock";
  int osError = 0;
  int claim = stateLock_.Acquire(lockPath.c_str(), &osError);
  if (claim == platform::kOk) return true;
  *error = claim == platform::kInUse
               ? "test server: state file " + options_.stateFile + " is in use by another server"
               : "test server: cannot write " + lockPath + ": " + std::strerror(osError);
  return false;
}

bool TestServer::LoadState(std::string* error) {
  if (options_.stateFile.empty()) return true;
  FILE* f = std::fopen(options_.stateFile.c_str(), "rb");
  if (f == nullptr) {
    if (errno == ENOENT) return true;  // a first start
    *error = "test server: cannot read " + options_.stateFile + ": " + std::strerror(errno);
    return false;
  }
  char text[256] = {};
  size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  text[n] = '\0';
  // Lines are "next_serial N" and "next_mac HEX".
  std::string content(text, n);
  for (char& c : content) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  std::vector<std::string> tokens = SplitWords(content);
  uint64_t serial = 0;
  uint64_t mac = 0;
  if (tokens.size() != 4 || tokens[0] != "next_serial" || tokens[2] != "next_mac" ||
      !ParseDecimal(tokens[1].c_str(), &serial) || !ParseHexText(tokens[3], 0, &mac)) {
    *error = "test server: state file " + options_.stateFile + " is damaged";
    return false;
  }
  // Never go back below the configured start.
  nextSerial_ = serial > options_.firstSerial ? serial : options_.firstSerial;
  nextMac_ = mac > options_.firstMac ? mac : options_.firstMac;
  return true;
}

bool TestServer::SaveState(uint64_t serial, uint64_t mac) {
  if (options_.stateFile.empty()) return true;
  std::string content = Format("next_serial %" PRIu64 "\nnext_mac %012" PRIX64 "\n", serial, mac);
  return platform::WriteFileAtomically(options_.stateFile.c_str(), content.data(),
                                       content.size()) == platform::kOk;
}

void TestServer::SetFault(ServerFault fault, const std::string& command, int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.fault = fault;
  options_.faultCommand = command;
  options_.faultStatus = status;
}

std::vector<std::string> TestServer::results() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return results_;
}

std::vector<std::string> TestServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<std::string>(requests_.begin(), requests_.end());
}

uint64_t TestServer::nextSerial() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nextSerial_;
}

uint64_t TestServer::nextMac() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nextMac_;
}

size_t TestServer::connectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

}  // namespace qxsim
