#include "sim/meter.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/number.h"
#include "platform/status.h"

namespace qxsim {

namespace {

// Longest command line the meter takes; a longer one is dropped whole.
constexpr size_t kMaxLine = 4096;
// Pacing slice of the line: an answer goes out in pieces this far apart.
constexpr uint32_t kSliceMs = 10;
// How soon the meter answers a query that needs no measurement.
constexpr uint32_t kQueryMs = 5;
// Above this many times the full scale a reading is an overload.
constexpr double kOverRange = 1.2;
constexpr const char* kOverload = "+9.90000000E+37";
constexpr int kMaxTriggerCount = 50000;

// How long the meter waits for a command before it looks at its queue and
// at Stop again.
constexpr uint32_t kLookMs = 20;

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string Trim(const std::string& text) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  return text.substr(b, e - b);
}

// Numbers in commands are read without the process's locale: a station that
// runs the bench in-process under a decimal-comma locale must see the same
// meter as everyone else.
bool ParseNumber(const std::string& text, double* value) {
  std::string t = Trim(text);
  const char* p = t.c_str();
  const char* end = p + t.size();
  if (p < end && *p == '+') ++p;
  if (p == end) return false;
  double v = 0;
  auto r = std::from_chars(p, end, v, std::chars_format::general);
  if (r.ec != std::errc() || r.ptr != end || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

// "+1.23456789E+00": 15 characters, the meter's reading format.
std::string FormatReading(double volts) {
  char digits[32];
  auto r = std::to_chars(digits, digits + sizeof digits, std::fabs(volts),
                         std::chars_format::scientific, 8);
  std::string text(1, volts < 0 ? '-' : '+');
  text.append(digits, r.ptr);
  for (char& c : text) {
    if (c == 'e') c = 'E';
  }
  return text;
}

// The smallest standard DC range that holds the requested full scale.
double RangeFor(double requested) {
  static const double kRanges[] = {0.1, 1.0, 10.0, 100.0, 1000.0};
  double want = std::fabs(requested);
  for (double r : kRanges) {
    if (want <= r * 1.0000001) return r;
  }
  return 1000.0;
}

constexpr uint64_t kMaxMsPerReading = 3600000;

}  // namespace

bool ParseMeterFault(const std::string& text, MeterFault* fault) {
  static const std::pair<const char*, MeterFault> kNames[] = {
      {"none", MeterFault::kNone},
      {"silent", MeterFault::kSilent},
      {"short", MeterFault::kShort},
      {"garbage", MeterFault::kGarbage},
  };
  for (const auto& n : kNames) {
    if (text == n.first) {
      *fault = n.second;
      return true;
    }
  }
  return false;
}

const char* MeterFaultName(MeterFault fault) {
  switch (fault) {
    case MeterFault::kNone:
      return "none";
    case MeterFault::kSilent:
      return "silent";
    case MeterFault::kShort:
      return "short";
    case MeterFault::kGarbage:
      return "garbage";
  }
  return "unknown";
}

void AddMeterOptions(cli::OptionTable* table, MeterOptions* options) {
  table->Option("--meter-link PATH", "link the meter's pseudo-terminal here (QX_COM3=PATH)",
                cli::Text(&options->linkPath, cli::Exactly("--meter-link needs a path")));
  table->Option("--meter-fault F", "none|silent|short|garbage", [options](cli::Value& v) {
    if (ParseMeterFault(v.string(), &options->fault)) return true;
    return v.Refuse(cli::Says("bad meter fault: "));
  });
  table->Option("--meter-idn TEXT", "the meter's answer to *IDN?",
                cli::Text(&options->identification));
  table->Option("--meter-ms-per-reading N", "integration time of one reading (default 20)",
                cli::Whole(&options->msPerReading, kMaxMsPerReading,
                           cli::Says("bad meter time per reading: ")));
  table->Flag("--meter-fast", "answer at once, without line pacing", [options](cli::Value&) {
    options->msPerReading = 0;
    options->charsPerSecond = 0;
    return true;
  });
}

BenchMeter::BenchMeter(MeterOptions options, MeterInput input)
    : options_(std::move(options)),
      input_(std::move(input)),
      fault_(options_.fault),
      random_(options_.seed) {}

BenchMeter::~BenchMeter() { Stop(); }

bool BenchMeter::Start(std::string* error) {
  Stop();
  int status = terminal_.Open();
  if (status != platform::kOk) {
    *error = std::string("meter: cannot create a pseudo-terminal: ") +
             std::strerror(terminal_.LastOsError());
    return false;
  }
  if (!options_.linkPath.empty()) {
    status = terminal_.Link(options_.linkPath.c_str());
    if (status != platform::kOk) {
      *error = status == platform::kBadArgument
                   ? "meter: " + options_.linkPath + " exists and is not a symbolic link"
                   : "meter: cannot link " + options_.linkPath + ": " +
                         std::strerror(terminal_.LastOsError());
      terminal_.Close();
      return false;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = MeterState();
    pending_.clear();
    busyUntilMs_ = 0;
  }
  stop_ = false;
  thread_ = std::thread(&BenchMeter::Loop, this);
  return true;
}

void BenchMeter::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    thread_.join();
  }
  terminal_.Close();
}

std::string BenchMeter::devicePath() const { return terminal_.devicePath(); }

std::string BenchMeter::path() const { return terminal_.path(); }

void BenchMeter::SetFault(MeterFault fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  fault_ = fault;
}

void BenchMeter::SetInput(MeterInput input) {
  std::lock_guard<std::mutex> lock(mutex_);
  input_ = std::move(input);
}

MeterState BenchMeter::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

bool BenchMeter::WaitForCommands(size_t count, uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return state_.commands.size() >= count; });
}

bool BenchMeter::WaitForAnswers(size_t count, uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return state_.answersSent >= count; });
}

void BenchMeter::Loop() {
  std::string line;
  bool overflow = false;
  while (!stop_) {
    uint64_t now = options_.clock.NowMs();
    uint64_t next;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      next = Flush(now);
    }
    uint32_t wait = kLookMs;
    if (next != 0 && next - now < wait) wait = next > now ? static_cast<uint32_t>(next - now) : 0;
    char bytes[512];
    size_t got = 0;
    if (terminal_.Read(bytes, sizeof bytes, &got, wait) != platform::kOk) continue;
    now = options_.clock.NowMs();
    for (size_t k = 0; k < got; ++k) {
      char c = bytes[k];
      if (c == '\n') {
        if (!overflow) HandleLine(line, now);
        if (overflow) {
          std::lock_guard<std::mutex> lock(mutex_);
          ++state_.errors;
        }
        line.clear();
        overflow = false;
      } else if (c != '\r') {
        if (line.size() < kMaxLine) {
          line.push_back(c);
        } else {
          overflow = true;
        }
      }
    }
  }
}

void BenchMeter::HandleLine(const std::string& line, uint64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_.commands.push_back(line);
  // One line may carry several commands: ":CONF:VOLT:DC 1.00E+1,1.00E-6;:DET:BAND 20;..."
  size_t start = 0;
  while (start <= line.size()) {
    size_t semi = line.find(';', start);
    if (semi == std::string::npos) semi = line.size();
    std::string command = Trim(line.substr(start, semi - start));
    if (!command.empty() && command[0] == ':') command.erase(0, 1);
    if (!command.empty()) HandleCommand(command, nowMs);
    start = semi + 1;
  }
  changed_.notify_all();
}

void BenchMeter::HandleCommand(const std::string& command, uint64_t nowMs) {
  size_t space = command.find(' ');
  std::string head = Upper(command.substr(0, space));
  std::string argument = space == std::string::npos ? "" : Trim(command.substr(space + 1));

  if (head == "SYST:LOC" || head == "SYSTEM:LOCAL") {
    state_.remote = false;
  } else if (head == "SYST:REM" || head == "SYSTEM:REMOTE") {
    state_.remote = true;
  } else if (head == "*RST") {
    state_.rangeVolts = 10.0;
    state_.triggerCount = 1;
  } else if (head == "*CLS") {
  } else if (head == "*IDN?") {
    Queue(options_.identification + "\n", std::max(nowMs, busyUntilMs_) + kQueryMs, false);
  } else if (head == "CONF:VOLT:DC" || head == "CONFIGURE:VOLTAGE:DC") {
    double range = 0;
    std::string first = argument.substr(0, argument.find(','));
    if (ParseNumber(first, &range) && range > 0) {
      state_.rangeVolts = RangeFor(range);
    } else {
      ++state_.errors;
    }
  } else if (head == "DET:BAND" || head == "ZERO:AUTO" || head == "INP:IMP:AUTO") {
    // Filter, auto-zero and input impedance: taken, no effect on the model.
  } else if (head == "TRIG:COUN" || head == "TRIG:COUNT") {
    uint64_t count = 0;
    if (platform::ParseDecimalNumber(argument.c_str(), kMaxTriggerCount, &count) && count >= 1) {
      state_.triggerCount = static_cast<int>(count);
    } else {
      ++state_.errors;
    }
  } else if (head == "READ?") {
    uint64_t ready = std::max(nowMs, busyUntilMs_) +
                     static_cast<uint64_t>(state_.triggerCount) * options_.msPerReading;
    Queue(Readings(), ready, true);
  } else {
    ++state_.errors;
  }
}

std::string BenchMeter::queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string bytes;
  for (const Pending& p : pending_) bytes += p.bytes;
  return bytes;
}

void BenchMeter::Queue(std::string bytes, uint64_t readyMs, bool isReading) {
  if (fault_ == MeterFault::kSilent) return;
  uint64_t sendMs =
      options_.charsPerSecond == 0 ? 0 : bytes.size() * 1000u / options_.charsPerSecond;
  busyUntilMs_ = readyMs + sendMs;
  pending_.push_back(Pending{readyMs, std::move(bytes), isReading});
}

std::string BenchMeter::Readings() {
  double volts = input_ ? input_() : 0.0;
  std::normal_distribution<double> noise(0.0, options_.noiseFraction * state_.rangeVolts);
  std::string answer;
  for (int i = 0; i < state_.triggerCount; ++i) {
    double v = volts + noise(random_);
    // Beyond the range, and whatever is no number at all (a source set to
    // NaN), reads as an overload: a meter has no other answer for it.
    std::string field =
        std::fabs(v) <= state_.rangeVolts * kOverRange ? FormatReading(v) : kOverload;
    if (fault_ == MeterFault::kGarbage && i == state_.triggerCount / 2) {
      field.replace(3, 3, "#?@");
    }
    if (fault_ == MeterFault::kShort && i == state_.triggerCount - 1) {
      field.resize(5);
      answer += field;
      break;
    }
    answer += field;
    answer += i + 1 < state_.triggerCount ? ',' : '\n';
  }
  if (fault_ == MeterFault::kShort) answer += '\n';
  return answer;
}

uint64_t BenchMeter::Flush(uint64_t nowMs) {
  while (!pending_.empty()) {
    Pending& p = pending_.front();
    if (nowMs < p.readyMs) return p.readyMs;
    size_t chunk = p.bytes.size();
    if (options_.charsPerSecond != 0) {
      size_t perSlice = std::max<size_t>(1, options_.charsPerSecond * kSliceMs / 1000);
      chunk = std::min(chunk, perSlice);
    }
    size_t n = 0;
    int status = terminal_.Write(p.bytes.data(), chunk, &n, 0);
    if (status != platform::kOk && status != platform::kTimeout) {
      // The line is gone: nothing more can be delivered.
      pending_.clear();
      return 0;
    }
    if (n == 0) return nowMs + kSliceMs;
    p.bytes.erase(0, n);
    if (p.bytes.empty()) {
      if (p.isReading) ++state_.answersSent;
      pending_.erase(pending_.begin());
      changed_.notify_all();
      continue;
    }
    if (options_.charsPerSecond != 0) {
      p.readyMs = nowMs + kSliceMs;
      return p.readyMs;
    }
  }
  return 0;
}

}  // namespace qxsim
