// The bench's digital multimeter: a SCPI instrument on a pseudo-terminal. It
// answers identification, takes the DC-voltage range and trigger-count
// settings, and on "READ?" measures its input once per reading, with a little
// noise and the time a real meter takes. Faults can be injected to exercise
// the station's error paths.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/cli.h"
#include "platform/host/pty.h"
#include "sim/core/sim_clock.h"

namespace qxsim {

enum class MeterFault {
  kNone,
  kSilent,   // never answers anything
  kShort,    // "READ?" answers with its last field cut off
  kGarbage,  // "READ?" answers with garbage characters in one field
};

// "none", "silent", "short", "garbage".
bool ParseMeterFault(const std::string& text, MeterFault* fault);
const char* MeterFaultName(MeterFault fault);

// What the meter measures, in volts; called on the meter's own thread (on
// the bench: the jig's meter voltage, see Bench::meterInput).
using MeterInput = std::function<double()>;

struct MeterOptions {
  // Where to put a symbolic link to the pseudo-terminal (empty: none). An
  // existing symbolic link there is replaced; any other file is an error.
  std::string linkPath;
  std::string identification = "QXSIM,DMM-65,SIM0001,1.2-0.4";
  uint32_t msPerReading = 20;  // integration time of one reading
  // Characters per second on the line (9600 baud, 7E2 = 11 bits a character);
  // 0 sends every answer at once.
  uint32_t charsPerSecond = 872;
  // Noise of one reading, as a fraction of the range's full scale.
  double noiseFraction = 1e-6;
  uint32_t seed = 1;
  MeterFault fault = MeterFault::kNone;
  // Times its readings and its line on this clock.
  SimClock clock;
};

// The meter's options of the qxsim command line: its link, identification,
// pace and faults.
void AddMeterOptions(cli::OptionTable* table, MeterOptions* options);

// What the meter has been told, for tests.
struct MeterState {
  bool remote = false;
  double rangeVolts = 10.0;  // full scale of the DC-voltage range
  int triggerCount = 1;
  size_t answersSent = 0;             // complete "READ?" answers
  size_t errors = 0;                  // lines it did not understand
  std::vector<std::string> commands;  // every line received, without its line end
};

class BenchMeter {
 public:
  BenchMeter(MeterOptions options, MeterInput input);
  ~BenchMeter();
  BenchMeter(const BenchMeter&) = delete;
  BenchMeter& operator=(const BenchMeter&) = delete;

  // Creates the pseudo-terminal, links it and starts answering. False, with
  // *error set, when any of that fails.
  bool Start(std::string* error);
  // Stops answering, closes the pseudo-terminal, removes the link.
  void Stop();

  // The pseudo-terminal's device path ("" before Start).
  std::string devicePath() const;
  // The link path if one was made, else the device path.
  std::string path() const;

  void SetFault(MeterFault fault);
  void SetInput(MeterInput input);
  MeterState state() const;
  // Waits (real time, at most timeoutMs) until at least count lines have been
  // received since Start; false on time-out.
  bool WaitForCommands(size_t count, uint32_t timeoutMs) const;
  // Waits until at least count "READ?" answers have gone out completely.
  bool WaitForAnswers(size_t count, uint32_t timeoutMs) const;

  // One command line as it came over the line, without its LF (the loop's
  // parser; also driven directly by the fuzz target). Answers are queued.
  void HandleLine(const std::string& line, uint64_t nowMs);
  // The bytes queued to go out, oldest first.
  std::string queued() const;

 private:
  struct Pending {
    uint64_t readyMs;  // when the first byte may go
    std::string bytes;
    bool isReading;  // a "READ?" answer
  };

  void Loop();
  void HandleCommand(const std::string& command, uint64_t nowMs);
  void Queue(std::string bytes, uint64_t readyMs, bool isReading);
  std::string Readings();
  // Sends what is due; returns the time of the next send (0: nothing waits).
  uint64_t Flush(uint64_t nowMs);

  MeterOptions options_;
  mutable std::mutex mutex_;  // guards everything below but the descriptors
  mutable std::condition_variable changed_;
  MeterInput input_;
  MeterFault fault_;
  MeterState state_;
  std::mt19937 random_;
  std::vector<Pending> pending_;
  uint64_t busyUntilMs_ = 0;

  platform::PseudoTerminal terminal_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace qxsim
