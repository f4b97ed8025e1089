#include "sim/test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/settings.h"

namespace qxsim {

namespace {

// A request line longer than this is refused and the connection dropped.
constexpr size_t kMaxLine = 64 * 1024;

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
  if (text == nullptr || *text == '\0') return false;
  uint64_t v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    if (v > (UINT64_MAX - 9) / 10) return false;
    v = v * 10 + static_cast<uint64_t>(*p - '0');
  }
  *value = v;
  return true;
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

bool SendAllBytes(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteWholeFile(const std::string& path, const std::string& content) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  ok = std::fflush(f) == 0 && ok;
  ok = ::fsync(fileno(f)) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  return ok;
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

const char* TestServerUsage() {
  return "  --ts-endpoint HOST:PORT   test server endpoint (default: QXTS_ENDPOINT)\n"
         "  --ts-state FILE           keep the next serial number and MAC in FILE\n"
         "  --ts-results FILE         append every result message to FILE\n"
         "  --ts-fault KIND           none, error[:NNN], close, split or silent\n"
         "  --ts-fault-on COMMAND     only for ID, serial, mac, jn, test, qtest or cal\n"
         "  --ts-first-serial N       first serial number handed out\n"
         "  --ts-first-mac HEX        first MAC address handed out (12 hex digits)\n";
}

int ParseTestServerOption(int argc, char** argv, int i, TestServerOptions* options,
                          std::string* error) {
  if (i < 0 || i >= argc || argv[i] == nullptr) return 0;
  std::string name = argv[i];
  static const char* const kNames[] = {"--ts-endpoint", "--ts-state",    "--ts-results",
                                       "--ts-fault",    "--ts-fault-on", "--ts-first-serial",
                                       "--ts-first-mac"};
  bool known = false;
  for (const char* n : kNames) known = known || name == n;
  if (!known) return 0;
  if (i + 1 >= argc || argv[i + 1] == nullptr) {
    *error = name + " needs a value";
    return -1;
  }
  std::string value = argv[i + 1];
  if (name == "--ts-endpoint") {
    size_t colon = value.rfind(':');
    uint64_t port = 0;
    if (colon == std::string::npos || colon == 0 ||
        !ParseDecimal(value.c_str() + colon + 1, &port) || port > 65535) {
      *error = "bad test server endpoint: " + value;
      return -1;
    }
    options->host = value.substr(0, colon);
    options->port = static_cast<uint16_t>(port);
  } else if (name == "--ts-state") {
    options->stateFile = value;
  } else if (name == "--ts-results") {
    options->resultsFile = value;
  } else if (name == "--ts-fault") {
    if (!ParseServerFault(value, &options->fault, &options->faultStatus)) {
      *error = "bad test server fault: " + value;
      return -1;
    }
  } else if (name == "--ts-fault-on") {
    options->faultCommand = value;
  } else if (name == "--ts-first-serial") {
    if (!ParseDecimal(value.c_str(), &options->firstSerial)) {
      *error = "bad serial number: " + value;
      return -1;
    }
  } else {
    if (!ParseHexText(value, 12, &options->firstMac)) {
      *error = "bad MAC address (12 hex digits): " + value;
      return -1;
    }
  }
  return 2;
}

bool DefaultTestServerOptions(TestServerOptions* options, std::string* error) {
  *options = TestServerOptions();
  char* argv[] = {const_cast<char*>("qxsim"), const_cast<char*>("--ts-endpoint"),
                  const_cast<char*>(platform::Setting("QXTS_ENDPOINT"))};
  if (ParseTestServerOption(3, argv, 1, options, error) == 2) return true;
  *error = std::string("QXTS_ENDPOINT is not host:port: ") + argv[2];
  return false;
}

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
    if (!LoadState(error)) return false;
  }

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(options_.port);
  if (inet_pton(AF_INET, options_.host.c_str(), &addr.sin_addr) != 1) {
    *error = "test server: not an IPv4 address: " + options_.host;
    return false;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("test server: socket: ") + std::strerror(errno);
    return false;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
    *error = "test server: cannot listen on " + options_.host + ":" +
             std::to_string(options_.port) + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    *error = std::string("test server: pipe: ") + std::strerror(errno);
    ::close(fd);
    return false;
  }
  listenFd_ = fd;
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];
  acceptThread_ = std::thread(&TestServer::AcceptLoop, this);
  return true;
}

void TestServer::Stop() {
  if (!acceptThread_.joinable()) return;
  char byte = 1;
  while (::write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {
  }
  acceptThread_.join();
  // The accept thread has ended, so no connection thread is added any more.
  for (std::thread& t : connectionThreads_) t.join();
  connectionThreads_.clear();
  ::close(listenFd_);
  ::close(wakeRead_);
  ::close(wakeWrite_);
  listenFd_ = wakeRead_ = wakeWrite_ = -1;
}

void TestServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (fds[1].revents & POLLIN) != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    int conn = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) continue;
    int one = 1;
    setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++connections_;
    }
    connectionThreads_.emplace_back(&TestServer::Serve, this, conn);
  }
}

void TestServer::Serve(int fd) {
  std::string pending;
  bool identified = false;
  bool open = true;
  while (open) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (fds[1].revents & POLLIN) != 0) break;
    char chunk[4096];
    ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    pending.append(chunk, static_cast<size_t>(got));
    size_t lineEnd;
    while (open && (lineEnd = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, lineEnd);
      pending.erase(0, lineEnd + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      bool close = false;
      bool silent = false;
      bool split = false;
      std::string reply = Handle(line, &identified, &close, &silent, &split);
      if (silent || reply.empty()) {
        if (close) open = false;
        continue;
      }
      if (split && reply.size() > 1) {
        size_t first = options_.splitAt == 0 ? reply.size() / 2 : options_.splitAt;
        if (first >= reply.size()) first = reply.size() - 1;
        if (!SendAllBytes(fd, reply.data(), first)) break;
        ::poll(nullptr, 0, static_cast<int>(options_.splitPauseMs));
        if (!SendAllBytes(fd, reply.data() + first, reply.size() - first)) break;
      } else if (!SendAllBytes(fd, reply.data(), reply.size())) {
        break;
      }
      if (close) open = false;
    }
    if (pending.size() > kMaxLine) {
      std::string reply = ReplyLine(413);
      SendAllBytes(fd, reply.data(), reply.size());
      break;
    }
  }
  ::close(fd);
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
    FILE* f = std::fopen(options_.resultsFile.c_str(), "ab");
    if (f == nullptr) return ReplyLine(500);
    bool ok = std::fwrite(line.data(), 1, line.size(), f) == line.size();
    ok = std::fputc('\n', f) != EOF && ok;
    ok = std::fflush(f) == 0 && ok;
    ok = ::fsync(fileno(f)) == 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) return ReplyLine(500);
  }
  results_.push_back(line);
  return ReplyLine(200);
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
  // Written beside and renamed over, so that a crash leaves the old state or
  // the new one, never half of either.
  std::string temp = options_.stateFile + ".tmp";
  if (!WriteWholeFile(temp, content)) {
    std::remove(temp.c_str());
    return false;
  }
  return std::rename(temp.c_str(), options_.stateFile.c_str()) == 0;
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
  return requests_;
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
