// The bench digital multimeter that calibration measures against: SCPI text
// commands over a serial line, DC-voltage readings in 16-character fields.
#pragma once

#include <cstdint>
#include <memory>

#include "instruments/serial.h"

constexpr int kMeterMaxSamples = 64;
constexpr int kMeterFieldWidth = 16;  // 15 characters of number, one separator
constexpr int kMeterNumberWidth = 15;
constexpr int kMeterBufferSize = 2048;
constexpr int kMeterIdnCapacity = 200;
constexpr int kMeterRangeCount = 3;
constexpr uint32_t kMeterReadTimeoutMs = 21000;
constexpr int kMeterPortIndex = 2;  // "COM3", where the bench meter hangs

// Returned by Configure for a range outside the table and by SetNumSamples
// for a count below 1.
constexpr int kMeterBadArgument = -1;

// The DC-voltage range commands, by range index (10 V, 1 V, 0.1 V scale).
extern const char* const kMeterRangeCommands[kMeterRangeCount];

// The default line: 9600 baud, 7 data bits, even parity generated but not
// checked, 2 stop bits, RTS and DTR handshake.
platform::LineSettings MeterLineSettings();

// How the last StartRead/GetReadings round ended.
enum class MeterReadResult {
  kNone,      // no read started
  kPending,   // the answer is not all there yet
  kOk,        // every reading parsed and stored
  kTimedOut,  // no complete answer within the time-out; values untouched
  kGarbled,   // a complete answer with a field that is not a reading; values untouched
};

class Meter {
 public:
  Meter(int portIndex, int customSettings);
  ~Meter() = default;
  Meter(const Meter&) = delete;
  Meter& operator=(const Meter&) = delete;

  // Opens the port and brings the meter into remote mode; does nothing when a
  // port exists already.
  void Open();
  // Back to local mode, port closed.
  void Close();
  // Selects range 0, 1 or 2; kMeterBadArgument (nothing sent) otherwise.
  int Configure(int range);
  // Readings per trigger, cut to 64 with a message. Before any range has been
  // selected this ends the process with status 1. kMeterBadArgument for n < 1.
  int SetNumSamples(int n);
  // Triggers a reading of NumSamples() values.
  void StartRead();
  // Collects the answer once all of it has arrived: stores the readings into
  // values (at most count of them) and sets done; also sets done, without
  // touching values, when the time-out has passed. Returns 0.
  int GetReadings(double* values, int count, bool* done);

  bool IsOpen() const { return port_ != nullptr && port_->IsOpen(); }
  const char* Idn() const { return idn_; }
  int NumSamples() const { return numSamples_; }
  bool Configured() const { return configured_; }
  MeterReadResult LastReadResult() const { return readResult_; }
  // Rounds since Open that ended timed out.
  int TimedOutReads() const { return timedOutReads_; }
  // The port's name in the table ("COM3"); "" for an index outside it.
  const char* PortName() const;
  // The port, once Open has created it (null before).
  const Serial* Port() const { return port_.get(); }

 private:
  // Takes the answer once all of it has arrived; true when that ended the
  // round (readings stored, or a garbled answer).
  bool TakeAnswer(double* values, int count);

  std::unique_ptr<Serial> port_;
  int portIndex_;
  int customSettings_;
  uint64_t readStartMs_ = 0;
  bool readPending_ = false;
  int numSamples_ = 1;
  char idn_[kMeterIdnCapacity] = {};
  char buffer_[kMeterBufferSize] = {};
  int bufferCount_ = 0;
  bool configured_ = false;
  MeterReadResult readResult_ = MeterReadResult::kNone;
  int timedOutReads_ = 0;
};

// Closes the meter (back to local mode) when the scope ends, so that every
// way out of a test that opened it leaves the meter as the operator knows it.
class MeterCloser {
 public:
  explicit MeterCloser(Meter& meter) : meter_(meter) {}
  ~MeterCloser() { meter_.Close(); }
  MeterCloser(const MeterCloser&) = delete;
  MeterCloser& operator=(const MeterCloser&) = delete;

 private:
  Meter& meter_;
};

// Parses one reading of the meter ("+1.23456789E+00"): optional blanks, a sign,
// digits with a decimal point, an exponent, optional blanks, and nothing else,
// independent of the locale. false for anything else, and for non-finite values.
bool ParseMeterNumber(const char* text, int length, double* value);
// The meter's answer to a trigger of count readings (length bytes; at most
// kMeterMaxSamples): count fields of kMeterFieldWidth, each a reading and a
// separator, "," between fields and CR or LF after the last. Fills
// values[0..count) and returns true only when every field is a reading;
// values may be spoiled otherwise.
bool ParseMeterAnswer(const char* answer, int length, int count, double* values);
