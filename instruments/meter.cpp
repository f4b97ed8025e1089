#include "instruments/meter.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "platform/clock.h"

const char* const kMeterRangeCommands[kMeterRangeCount] = {
    ":CONF:VOLT:DC 1.00E+1,1.00E-6;:DET:BAND 20;:ZERO:AUTO OFF;:INP:IMP:AUTO OFF;\n",
    ":CONF:VOLT:DC 1.00E+0,1.00E-7;:DET:BAND 20;:ZERO:AUTO OFF;:INP:IMP:AUTO OFF;\n",
    ":CONF:VOLT:DC 1.00E-1,1.00E-8;:DET:BAND 20;:ZERO:AUTO OFF;:INP:IMP:AUTO OFF;\n",
};

namespace {

constexpr int kIdentifyAttempts = 3;
constexpr size_t kMinIdnLength = 10;

// The one place where the meter ends the program: asking for samples before
// any range is a fault of the calling code, and the station stops in order.
[[noreturn]] void StopProgram(const char* message) {
  std::fputs(message, stdout);
  std::fflush(stdout);
  std::exit(1);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

platform::LineSettings MeterLineSettings() {
  platform::LineSettings s;
  s.baudRate = 9600;
  s.dataBits = 7;
  s.parity = platform::Parity::kEven;
  s.checkParity = false;
  s.stopBits = 2;
  s.rtsCtsHandshake = true;
  s.dtrHandshake = true;
  return s;
}

bool ParseMeterNumber(const char* text, int length, double* value) {
  if (text == nullptr || value == nullptr || length <= 0) return false;
  const char* p = text;
  const char* end = text + length;
  while (p < end && IsBlank(*p)) ++p;
  while (end > p && IsBlank(end[-1])) --end;
  if (p == end) return false;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // from_chars would also take "inf", "nan" and hex digits; a reading is only
  // digits, one point and an exponent, and it must start with a digit or point.
  if (p == end || !(IsDigit(*p) || *p == '.')) return false;
  double parsed = 0;
  std::from_chars_result r = std::from_chars(p, end, parsed, std::chars_format::general);
  if (r.ec != std::errc() || r.ptr != end || !std::isfinite(parsed)) return false;
  *value = negative ? -parsed : parsed;
  return true;
}

bool ParseMeterAnswer(const char* answer, int length, int count, double* values) {
  if (answer == nullptr || values == nullptr || count < 1 || count > kMeterMaxSamples ||
      length < count * kMeterFieldWidth) {
    return false;
  }
  for (int i = 0; i < count; ++i) {
    const char* field = answer + i * kMeterFieldWidth;
    char separator = field[kMeterNumberWidth];
    bool separatorOk = i == count - 1 ? (separator == '\n' || separator == '\r') : separator == ',';
    if (!separatorOk || !ParseMeterNumber(field, kMeterNumberWidth, &values[i])) return false;
  }
  return true;
}

Meter::Meter(int portIndex, int customSettings)
    : portIndex_(portIndex), customSettings_(customSettings) {}

void Meter::Open() {
  if (port_ != nullptr) return;
  // A non-zero customSettings hands the port an empty record, which it
  // refuses: the port then reports its parameter message and stays closed.
  platform::LineSettings settings;
  if (customSettings_ == 0) settings = MeterLineSettings();
  port_ = std::make_unique<Serial>(PortName(), settings);

  idn_[0] = '\0';
  if (port_->IsOpen()) {
    for (int attempt = 0; attempt < kIdentifyAttempts; ++attempt) {
      port_->WriteString("SYST:LOC\n");
      platform::SleepMs(500);
      port_->WriteString("SYST:REM\n");
      platform::SleepMs(200);
      port_->WriteString("*RST\n");
      platform::SleepMs(400);
      port_->WriteString("*CLS\n");
      platform::SleepMs(500);
      port_->WriteString("*IDN?\n");
      platform::SleepMs(500);
      port_->Read(idn_, kMeterIdnCapacity, true);
      if (std::strlen(idn_) >= kMinIdnLength) break;
    }
  }
  numSamples_ = 1;
  configured_ = false;
  readPending_ = false;
  timedOutReads_ = 0;
  readResult_ = MeterReadResult::kNone;
}

void Meter::Close() {
  if (!IsOpen()) return;
  port_->WriteString("SYST:LOC\n");
  port_.reset();
}

int Meter::Configure(int range) {
  if (range < 0 || range >= kMeterRangeCount) return kMeterBadArgument;
  if (IsOpen()) port_->WriteString(kMeterRangeCommands[range]);
  // Marked also without a port: the range has been chosen, and a missing
  // meter shows as timed-out readings, not as a stopped program.
  configured_ = true;
  return 0;
}

int Meter::SetNumSamples(int n) {
  if (!configured_) StopProgram("Must config before setting number of samples");
  if (n < 1) return kMeterBadArgument;
  if (n > kMeterMaxSamples) {
    std::printf("From SetNumSamples: Meter class only built to handle %d samples at a time.\r\n",
                kMeterMaxSamples);
    std::fflush(stdout);
    n = kMeterMaxSamples;
  }
  numSamples_ = n;
  if (IsOpen()) {
    char command[64];
    TextFormat(command, sizeof command, "Trig:Count %d\n", n);
    port_->WriteString(command);
  }
  return 0;
}

void Meter::StartRead() {
  readStartMs_ = platform::TickMs();
  readPending_ = true;
  readResult_ = MeterReadResult::kPending;
  buffer_[0] = '\0';
  bufferCount_ = 0;
  if (!IsOpen()) return;
  // Stale bytes go before the trigger: discarding after it could eat the
  // start of a quick answer, which would then never be complete.
  port_->Drain();
  port_->WriteString("READ?\n");
}

int Meter::GetReadings(double* values, int count, bool* done) {
  if (done == nullptr) return 0;
  if (!readPending_) {
    // Nothing was triggered: there is nothing to wait for.
    *done = true;
    return 0;
  }
  bool timedOut = platform::TickMs() - readStartMs_ >= kMeterReadTimeoutMs;
  // An answer that is whole by the time-out is still taken.
  if (IsOpen() && TakeAnswer(values, count)) {
    *done = true;
    return 0;
  }
  if (timedOut) {
    *done = true;
    readPending_ = false;
    readResult_ = MeterReadResult::kTimedOut;
    ++timedOutReads_;
  }
  return 0;
}

bool Meter::TakeAnswer(double* values, int count) {
  const int answerLength = numSamples_ * kMeterFieldWidth;
  uint32_t waiting = 0;
  if (port_->BytesAvailable(&waiting) != 0) return false;
  if (static_cast<int64_t>(waiting) + bufferCount_ < answerLength) return false;

  // One byte more than the fields, for a CR before the final LF.
  int want = (numSamples_ - bufferCount_ / kMeterFieldWidth) * kMeterFieldWidth + 2;
  if (bufferCount_ + want > kMeterBufferSize) want = kMeterBufferSize - bufferCount_;
  uint32_t n = port_->Read(buffer_ + bufferCount_, static_cast<uint32_t>(want), true);
  int total = bufferCount_ + static_cast<int>(n);
  if (total < answerLength) {
    // The port gave less than it announced: keep it and collect the rest later.
    bufferCount_ = total;
    return false;
  }
  bufferCount_ = total;

  // Every field is checked before any value is stored, so that a garbled
  // answer leaves the caller's values as they were.
  double parsed[kMeterMaxSamples];
  bool good = ParseMeterAnswer(buffer_, bufferCount_, numSamples_, parsed);
  readPending_ = false;
  if (!good) {
    readResult_ = MeterReadResult::kGarbled;
    return true;
  }
  int store = count < numSamples_ ? count : numSamples_;
  if (values != nullptr) {
    for (int i = 0; i < store; ++i) values[i] = parsed[i];
  }
  readResult_ = MeterReadResult::kOk;
  return true;
}

const char* Meter::PortName() const {
  return portIndex_ >= 0 && portIndex_ < kComPortCount ? kComPortNames[portIndex_] : "";
}
