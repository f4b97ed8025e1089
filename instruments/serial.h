// The station's serial connection to a bench instrument: one port, opened
// with the caller's line settings, whose reads return at once with whatever
// has arrived.
#pragma once

#include <cstdint>

#include "platform/serial.h"

// The port names, indexed from 0 ("COM1" ... "COM8").
constexpr int kComPortCount = 8;
extern const char* const kComPortNames[kComPortCount];

// How long one Write may wait for a held-off line before giving up.
constexpr uint32_t kSerialWriteTimeoutMs = 2000;

class Serial {
 public:
  // Opens portName; a failure prints one of the three port messages and
  // leaves the object not open.
  Serial(const char* portName, platform::LineSettings lineSettings);
  ~Serial();
  Serial(const Serial&) = delete;
  Serial& operator=(const Serial&) = delete;

  bool IsOpen() const { return port_.IsOpen(); }
  // Returns the number of bytes written.
  uint32_t Write(const void* buffer, uint32_t count);
  // Writes text without its terminator.
  uint32_t WriteString(const char* text);
  // Reads at most count bytes (count - 1 with asText, then terminated);
  // returns the number read, 0 on failure or when nothing has arrived.
  uint32_t Read(void* buffer, uint32_t count, bool asText);
  // Stores the number of bytes waiting; 0, or the platform status of a failed
  // query (count is then 0).
  int BytesAvailable(uint32_t* count);
  // Reads and discards what has arrived.
  void Drain();

  // Why the port is not open or the last call failed: a platform status and
  // the operating system's code, for messages.
  int LastStatus() const { return lastStatus_; }
  int LastOsError() const { return port_.LastOsError(); }
  const char* Path() const { return port_.Path(); }

 private:
  platform::SerialPort port_;
  int lastStatus_ = 0;
};
