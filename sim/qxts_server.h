// The bench's production test server: checks the station's identification
// line, hands out serial numbers and MAC addresses (never one twice, also
// across restarts when it keeps a state file) and stores every result
// message it receives, one per line. Faults can be injected to exercise the
// station's error paths.
//
// One thread serves every connection from a poll loop: a finished
// connection is closed and forgotten at once, at most kMaxTestServerClients
// are open at a time (more wait in the listen queue), one that sends nothing
// for the idle time-out is closed (so vanished peers never fill every place), nothing is ever sent
// with a blocking call, so Stop returns promptly even when a client has
// stopped reading.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/cli.h"
#include "platform/file.h"
#include "platform/host/listener.h"
#include "platform/host/poll.h"
#include "platform/socket.h"
#include "sim/core/sim_clock.h"

namespace qxsim {

constexpr size_t kMaxTestServerClients = 64;
constexpr size_t kKeptRequests = 1000;

enum class ServerFault {
  kNone,
  kErrorStatus,  // answer with an error status instead of 200
  kClose,        // close the connection instead of answering
  kSplitReply,   // send the reply in two TCP segments, with a pause between
  kSilent,       // never answer; keep the connection open
};

// "none", "error" or "error:NNN", "close", "split", "silent".
bool ParseServerFault(const std::string& text, ServerFault* fault, int* status);

struct TestServerOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 0;        // 0: an ephemeral port
  std::string stateFile;    // empty: numbers start afresh with every start
  std::string resultsFile;  // empty: results are kept in memory only
  // The identification the station must give.
  std::string name = "QXTestZ5";
  std::string version = "0.12";
  uint32_t jigId = 0x1702;
  uint32_t password = 0x5E2C91A4;
  // Numbers handed out, each range inclusive.
  uint64_t firstSerial = 470010002;
  uint64_t lastSerial = 480010000;
  uint64_t firstMac = 0x027C4B002001;  // the first above the device's default
  uint64_t lastMac = 0x027C4BFFFFFF;
  // Fault injection: which fault, on which command word ("ID", "serial",
  // "mac", "jn", "test", "qtest", "cal"; empty: every request).
  ServerFault fault = ServerFault::kNone;
  std::string faultCommand;
  int faultStatus = 500;
  // kSplitReply: bytes in the first segment (0: half the reply; more than
  // the reply: all but the last byte) and the pause before the second.
  size_t splitAt = 0;
  uint32_t splitPauseMs = 50;
  // A connection that sends nothing for this long is closed (0: never).
  // Longer than a whole station run: its link is made at the start and
  // the results go at the end, after the calibration.
  uint32_t idleTimeoutMs = 3600000;
  // Times the split pause and the idle time-out.
  SimClock clock;
};

// The test server's options of the qxsim and qxts command lines: endpoint,
// files, faults, first serial number and MAC, idle time-out.
void AddTestServerOptions(cli::OptionTable* table, TestServerOptions* options);
// Options with the endpoint of the QXTS_ENDPOINT setting (127.0.0.1:5001
// unless the environment says otherwise); false, with *error set, when the
// setting is not host:port.
bool DefaultTestServerOptions(TestServerOptions* options, std::string* error);

class TestServer {
 public:
  explicit TestServer(TestServerOptions options);
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  // Claims and loads the state file, binds and starts serving. False, with
  // *error set, when any of that fails (a state file that cannot be read,
  // or one that another server holds, is an error: starting afresh would
  // hand out numbers twice).
  bool Start(std::string* error);
  // Stops serving and closes every connection; Start may follow.
  void Stop();

  uint16_t port() const { return port_; }
  // "host:port" of the listening socket.
  std::string endpoint() const;

  void SetFault(ServerFault fault, const std::string& command = "", int status = 500);
  // Every result message stored since Start, in order, without its CR LF.
  std::vector<std::string> results() const;
  // Every request line received since Start, in order.
  // The last kKeptRequests request lines received since Start, oldest first
  // (a log for tests; a long-running server keeps no more).
  std::vector<std::string> requests() const;
  uint64_t nextSerial() const;
  uint64_t nextMac() const;

  // The reply to one request line (without its line end) on a connection
  // whose identification state is *identified; empty when no reply goes
  // out. *close is set when the connection is to end after it. The loop's
  // parser; also driven directly by the fuzz target.
  std::string Handle(const std::string& line, bool* identified, bool* close, bool* silent,
                     bool* split);
  // Connections accepted since Start, and those open now.
  size_t connectionCount() const;
  size_t openConnections() const { return open_; }

 private:
  struct Client;
  void Loop();
  void Accept();
  // Reads what waits; false when the connection is to go.
  bool Receive(Client& c);
  void Process(Client& c);
  // Sends what is due; false when the connection is to go.
  bool Flush(Client& c, uint64_t nowMs);
  std::string HandOut(bool serial, bool mac);
  std::string StoreResult(const std::string& line);
  bool ClaimState(std::string* error);
  bool LoadState(std::string* error);
  bool SaveState(uint64_t serial, uint64_t mac);
  bool IdentityMatches(const std::string& line) const;

  TestServerOptions options_;
  mutable std::mutex mutex_;  // guards everything below
  uint64_t nextSerial_;
  uint64_t nextMac_;
  std::vector<std::string> results_;
  std::deque<std::string> requests_;
  size_t connections_ = 0;

  platform::TcpListener listener_;
  platform::Waker waker_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> open_{0};
  std::vector<std::unique_ptr<Client>> clients_;  // the loop's own
  std::thread thread_;
  platform::FileLock stateLock_;  // held from Start to Stop
};

}  // namespace qxsim
