// Serial ports for the station: open a port by its COM name, apply line
// settings, read without ever blocking, write with a bounded wait. Every
// failure is a platform status; the operating system's own code is kept
// beside it for messages.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

enum class Parity : uint8_t { kNone = 0, kOdd = 1, kEven = 2 };

// The line settings of one port. A zero-filled record is not a usable line
// (no baud rate, no data bits) and is refused by Configure.
struct LineSettings {
  uint32_t baudRate = 0;  // 9600, 19200, ...
  uint8_t dataBits = 0;   // 5..8
  Parity parity = Parity::kNone;
  uint8_t stopBits = 0;      // 1 or 2
  bool checkParity = false;  // false: parity is generated on output only
  bool rtsCtsHandshake = false;
  bool dtrHandshake = false;  // DTR held asserted while the port is open
};

class SerialPort {
 public:
  SerialPort() = default;
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens the port named "COM1" ... "COM8" for reading and writing, for this
  // process alone. On POSIX the name's device path is the setting QX_COMn.
  // The queues start empty. kNotFound for an unknown name or a missing device.
  int Open(const char* comName);
  // Makes every read return at once with whatever bytes are waiting.
  int SetNonBlockingReads();
  // Applies the line settings; the port stays in binary (raw) mode.
  int Configure(const LineSettings& settings);
  // Writes every byte or stops at the time-out; *written says how many went.
  int Write(const void* data, size_t length, uint32_t timeoutMs, size_t* written);
  // Takes up to capacity waiting bytes; 0 bytes and kOk when none are there.
  int Read(void* buffer, size_t capacity, size_t* received);
  // Bytes waiting in the input queue.
  int BytesWaiting(size_t* count);
  // Lets pending output go (bounded), then closes. Safe to call twice.
  void Close();
  bool IsOpen() const { return handle_ >= 0; }
  // The operating system's code of the last failure (0 when there was none).
  int LastOsError() const { return lastOsError_; }
  // The device path behind the last name given to Open ("" before any).
  const char* Path() const { return path_; }

 private:
  intptr_t handle_ = -1;
  int lastOsError_ = 0;
  char path_[256] = {};
};

// The device path behind a port name "COM1" ... "COM8" (the setting
// QX_COMn): kOk, kNotFound for another name or an empty setting, kBadAddress
// when the path does not fit capacity.
int SerialPortPath(const char* comName, char* path, size_t capacity);

}  // namespace platform
