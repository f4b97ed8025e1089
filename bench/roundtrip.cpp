// One register read on loopback, several ways, interleaved in one run so
// that the machine's moods touch them alike:
//   (a) a bare TCP ping-pong of the very request and reply bytes, blocking
//       sockets straight on the system (the floor: no framing, no device);
//   (a') the same ping-pong with both ends spinning briefly before they
//       sleep, as qxm and qxsim do: the floor of a spinning exchange, shown
//       for comparison (b can be below a when the spins pay);
//   (b) ReadU32 through the device-access library to qxsim's device server;
//   (c) libmodbus reading the same two registers with function 3 from it.
// Each way runs a batch of exchanges per round, in a rotating order; the
// medians of the rounds' per-exchange times are printed with b/a and b/c.
// The servers and the client are placed alike for every way (--cpus,
// bench/placement.h). The system's socket calls are used here on purpose:
// the floor must not move with the platform layer it is measuring.
#include <arpa/inet.h>
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/cli.h"
#include "bench/placement.h"
#include "device/registers.h"
#include "qxm/qxm.h"
#include "sim/bench.h"

namespace {

constexpr char kUsageHead[] =
    "usage: roundtrip [--rounds N] [--batch N] [--cpus split|same|any]\n"
    "\n"
    "Measures one register read on loopback, interleaved: a bare TCP ping-pong\n"
    "of the same bytes (a), the same with both ends spinning before they sleep\n"
    "(a'), ReadU32 through the device-access library to qxsim (b), and\n"
    "libmodbus function 3 from qxsim (c). Prints the median time per exchange\n"
    "of each and the ratios b/a, b/c and b/a'.\n"
    "\n";

constexpr uint16_t kRegister = 60000;  // the product identifier, two words
// The bytes of (b)'s exchange: function 76 reading two registers, and its reply.
const uint8_t kRequest[12] = {0, 1, 0, 0, 0, 6, 0, 76, 0, 0xEA, 0x60, 2};
const uint8_t kReply[12] = {0, 1, 0, 0, 0, 6, 0, 76, 0x41, 0x88, 0, 0};

using SteadyClock = std::chrono::steady_clock;

void NoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// As long as qxm's and qxsim's spins.
constexpr auto kSpin = std::chrono::microseconds(50);

// Reads length bytes; spinning, it looks for them (yielding the processor)
// for kSpin before it sleeps in the read.
bool ReadAll(int fd, uint8_t* out, size_t length, bool spin) {
  auto spinEnd = SteadyClock::now() + kSpin;
  for (size_t have = 0; have < length;) {
    bool look = spin && SteadyClock::now() < spinEnd;
    ssize_t n = recv(fd, out + have, length - have, look ? MSG_DONTWAIT : 0);
    if (n < 0 && look && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      sched_yield();
      continue;
    }
    if (n <= 0) return false;
    have += static_cast<size_t>(n);
  }
  return true;
}

// The floor's server: answers every request with the canned reply.
class PingPong {
 public:
  explicit PingPong(bool spin) : spin_(spin) {}
  bool Start() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
      return false;
    }
    thread_ = std::thread([this] { Serve(); });
    client_ = socket(AF_INET, SOCK_STREAM, 0);
    if (client_ < 0 || connect(client_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      return false;
    }
    NoDelay(client_);
    return true;
  }
  ~PingPong() {
    if (client_ >= 0) close(client_);  // ends the server's loop
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
  }
  bool Exchange() {
    uint8_t reply[sizeof kReply];
    return send(client_, kRequest, sizeof kRequest, MSG_NOSIGNAL) == sizeof kRequest &&
           ReadAll(client_, reply, sizeof reply, spin_);
  }

 private:
  void Serve() {
    int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    NoDelay(fd);
    uint8_t request[sizeof kRequest];
    while (ReadAll(fd, request, sizeof request, spin_)) {
      if (send(fd, kReply, sizeof kReply, MSG_NOSIGNAL) != sizeof kReply) break;
    }
    close(fd);
  }

  bool spin_;
  int listener_ = -1;
  int client_ = -1;
  std::thread thread_;
};

// Each way reads the product identifier; it is checked once, up front.
bool FirstReadsAgree(int handle, modbus_t* mb, PingPong& floor, PingPong& spinningFloor) {
  uint32_t viaQxm = 0;
  uint16_t words[2] = {};
  if (ReadU32(handle, kRegister, &viaQxm) != 0 ||
      modbus_read_registers(mb, kRegister, 2, words) != 2 || !floor.Exchange() ||
      !spinningFloor.Exchange()) {
    std::fprintf(stderr, "roundtrip: a first read failed\n");
    return false;
  }
  std::printf("register %u: ReadU32 0x%08X, libmodbus function 3 words 0x%04X 0x%04X\n", kRegister,
              viaQxm, words[0], words[1]);
  if (viaQxm != (static_cast<uint32_t>(words[0]) << 16 | words[1])) {
    std::fprintf(stderr, "roundtrip: the two reads disagree\n");
    return false;
  }
  return true;
}

void Report(const std::vector<std::pair<const char*, std::function<bool()>>>& ways,
            const std::vector<double>& median, uint64_t rounds, uint64_t batch,
            const std::string& cpus) {
  std::printf("median of %llu interleaved rounds of %llu exchanges each, loopback, cpus %s:\n",
              static_cast<unsigned long long>(rounds), static_cast<unsigned long long>(batch),
              cpus.c_str());
  for (size_t w = 0; w < ways.size(); ++w) {
    std::printf("  %-28s %8.2f us\n", ways[w].first, median[w]);
  }
  std::printf("  b/a %.3f (target <= 1.10)\n", median[1] / median[0]);
  std::printf("  b/c %.3f (target <= 0.90)\n", median[1] / median[2]);
  std::printf("  b/a' %.3f (for comparison)\n", median[1] / median[3]);
}

// The median time per exchange of each way, over rounds of batch exchanges
// in a rotating order; false when an exchange failed.
bool Measure(const std::vector<std::pair<const char*, std::function<bool()>>>& ways,
             uint64_t rounds, uint64_t batch, std::vector<double>* medians) {
  bool failed = false;
  std::vector<std::vector<double>> perExchangeUs(ways.size());
  for (uint64_t r = 0; r < rounds && !failed; ++r) {
    for (size_t k = 0; k < ways.size(); ++k) {
      size_t w = (k + r) % ways.size();
      auto start = SteadyClock::now();
      for (uint64_t i = 0; i < batch; ++i) {
        if (!ways[w].second()) failed = true;
      }
      std::chrono::duration<double, std::micro> took = SteadyClock::now() - start;
      perExchangeUs[w].push_back(took.count() / static_cast<double>(batch));
    }
  }
  for (const std::vector<double>& us : perExchangeUs) medians->push_back(bench::Median(us));
  return !failed;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t rounds = 60;
  uint64_t batch = 200;
  std::string cpus = "split";
  cli::OptionTable table(bench::kHelpColumn);
  table.Option("--rounds N", "rounds, each running every way once (default 60)",
               cli::Whole(&rounds, 100000, cli::IsNot("a count of rounds"), 1));
  table.Option("--batch N", "exchanges of each way per round (default 200)",
               cli::Whole(&batch, 1000000, cli::IsNot("a count of exchanges"), 1));
  bench::AddCpusOption(&table, &cpus);
  int status = table.Parse("roundtrip", argc, argv, kUsageHead + table.Help());
  if (status >= 0) return status;
  // The servers' threads inherit the processor of the thread that starts them.
  if (!bench::PlaceServers(cpus, "roundtrip")) return cli::kExitFailed;
  qxsim::Bench bench;
  std::string error = "the ping-pong peer cannot start";
  PingPong floor(false);
  PingPong spinningFloor(true);
  if (!bench.Start(&error) || !floor.Start() || !spinningFloor.Start()) {
    std::fprintf(stderr, "roundtrip: %s\n", error.c_str());
    return cli::kExitFailed;
  }
  if (!bench::PlaceClient(cpus, "roundtrip")) return cli::kExitFailed;
  int handle = 0;
  std::string eth = "127.0.0.1:" + std::to_string(bench.ethPort());
  if (QXM_Open("z5 device type", "tcp", eth.c_str(), &handle) != 0) {
    std::fprintf(stderr, "roundtrip: QXM_Open on %s failed\n", eth.c_str());
    return cli::kExitFailed;
  }
  modbus_t* mb = modbus_new_tcp("127.0.0.1", bench.ethPort());
  if (mb == nullptr || modbus_connect(mb) != 0) {
    std::fprintf(stderr, "roundtrip: libmodbus cannot connect to %s\n", eth.c_str());
    return cli::kExitFailed;
  }
  if (!FirstReadsAgree(handle, mb, floor, spinningFloor)) return cli::kExitFailed;

  uint32_t viaQxm = 0;
  uint16_t words[2] = {};
  auto ways = std::vector<std::pair<const char*, std::function<bool()>>>{
      {"(a) bare TCP ping-pong", [&] { return floor.Exchange(); }},
      {"(b) ReadU32 through qxm", [&] { return ReadU32(handle, kRegister, &viaQxm) == 0; }},
      {"(c) libmodbus function 3",
       [&] { return modbus_read_registers(mb, kRegister, 2, words) == 2; }},
      {"(a') ping-pong, ends spinning", [&] { return spinningFloor.Exchange(); }},
  };
  std::vector<double> medians;
  bool measured = Measure(ways, rounds, batch, &medians);
  modbus_close(mb);
  modbus_free(mb);
  QXM_Close(handle);
  if (!measured) {
    std::fprintf(stderr, "roundtrip: an exchange failed\n");
    return cli::kExitFailed;
  }
  Report(ways, medians, rounds, batch, cpus);
  return cli::kExitOk;
}
