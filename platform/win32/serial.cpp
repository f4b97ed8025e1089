// COM ports through the Win32 communications calls. Every read returns at
// once (the time-outs say so); writes are bounded by a write time-out set for
// each call.
#include "platform/serial.h"

#include <windows.h>

#include <cstring>

#include "platform/clock.h"
#include "platform/status.h"

namespace platform {

namespace {

constexpr uint32_t kCloseDrainMs = 1000;
constexpr uint32_t kPollSliceMs = 2;

int FromLastError(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
      return kNotFound;
    case ERROR_INVALID_PARAMETER:
      return kBadArgument;
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_REMOVED:
      return kClosed;
    default:
      return kIoError;
  }
}

HANDLE Handle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// A read interval of MAXDWORD with zero totals: ReadFile returns at once with
// what has arrived, possibly nothing.
bool SetTimeouts(HANDLE port, DWORD writeTotalMs) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.WriteTotalTimeoutConstant = writeTotalMs;
  return SetCommTimeouts(port, &timeouts) != 0;
}

}  // namespace

SerialPort::~SerialPort() { Close(); }

int SerialPort::Open(const char* comName) {
  Close();
  lastOsError_ = 0;
  path_[0] = '\0';
  int found = SerialPortPath(comName, path_, sizeof path_);
  if (found != kOk) return found;

  wchar_t widePath[sizeof path_];
  if (MultiByteToWideChar(CP_ACP, 0, path_, -1, widePath, sizeof path_) == 0) {
    lastOsError_ = static_cast<int>(GetLastError());
    return kBadAddress;
  }
  // Not shared: a second opener fails.
  HANDLE port =
      CreateFileW(widePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    lastOsError_ = static_cast<int>(GetLastError());
    return FromLastError(static_cast<DWORD>(lastOsError_));
  }
  // Reads never block, even before SetNonBlockingReads; and a line kept up by
  // its far end between runs opens with empty queues.
  SetTimeouts(port, 0);
  PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
  handle_ = reinterpret_cast<intptr_t>(port);
  return kOk;
}

int SerialPort::SetNonBlockingReads() {
  if (handle_ < 0) return kNotOpen;
  if (!SetTimeouts(Handle(handle_), 0)) {
    lastOsError_ = static_cast<int>(GetLastError());
    return FromLastError(static_cast<DWORD>(lastOsError_));
  }
  return kOk;
}

int SerialPort::Configure(const LineSettings& settings) {
  if (handle_ < 0) return kNotOpen;
  if (settings.baudRate == 0 || settings.dataBits < 5 || settings.dataBits > 8 ||
      (settings.stopBits != 1 && settings.stopBits != 2) || settings.parity > Parity::kEven) {
    return kBadArgument;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(Handle(handle_), &dcb)) {
    lastOsError_ = static_cast<int>(GetLastError());
    return FromLastError(static_cast<DWORD>(lastOsError_));
  }
  dcb.BaudRate = settings.baudRate;
  dcb.ByteSize = settings.dataBits;
  dcb.Parity = settings.parity == Parity::kOdd    ? ODDPARITY
               : settings.parity == Parity::kEven ? EVENPARITY
                                                  : NOPARITY;
  dcb.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = settings.parity != Parity::kNone && settings.checkParity ? TRUE : FALSE;
  dcb.fOutxCtsFlow = settings.rtsCtsHandshake ? TRUE : FALSE;
  dcb.fRtsControl = settings.rtsCtsHandshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  if (settings.dtrHandshake) dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  // The driver refuses what the line cannot do; the state is not read back,
  // since some drivers (and emulators) report their own framing instead.
  if (!SetCommState(Handle(handle_), &dcb)) {
    lastOsError_ = static_cast<int>(GetLastError());
    return FromLastError(static_cast<DWORD>(lastOsError_));
  }
  return kOk;
}

int SerialPort::Write(const void* data, size_t length, uint32_t timeoutMs, size_t* written) {
  if (written != nullptr) *written = 0;
  if (written == nullptr || (data == nullptr && length > 0)) return kBadArgument;
  if (handle_ < 0) return kNotOpen;
  if (length == 0) return kOk;
  HANDLE port = Handle(handle_);
  // A zero total would mean no time-out at all; none above 2^31-1 ms either.
  if (!SetTimeouts(port, timeoutMs == 0 ? 1 : static_cast<DWORD>(OsWaitMs(timeoutMs)))) {
    lastOsError_ = static_cast<int>(GetLastError());
    return FromLastError(static_cast<DWORD>(lastOsError_));
  }
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < length) {
    DWORD piece = length - done > 0x10000 ? 0x10000 : static_cast<DWORD>(length - done);
    DWORD sent = 0;
    if (!WriteFile(port, bytes + done, piece, &sent, nullptr)) {
      lastOsError_ = static_cast<int>(GetLastError());
      *written = done;
      return FromLastError(static_cast<DWORD>(lastOsError_));
    }
    done += sent;
    // Fewer bytes than asked: the write time-out ran out.
    if (sent < piece) break;
  }
  *written = done;
  return done == length ? kOk : kTimeout;
}

int SerialPort::Read(void* buffer, size_t capacity, size_t* received) {
  if (received != nullptr) *received = 0;
  if (received == nullptr || (buffer == nullptr && capacity > 0)) return kBadArgument;
  if (handle_ < 0) return kNotOpen;
  if (capacity == 0) return kOk;
  DWORD want = capacity > 0x10000 ? 0x10000 : static_cast<DWORD>(capacity);
  DWORD got = 0;
  if (!ReadFile(Handle(handle_), buffer, want, &got, nullptr)) {
    lastOsError_ = static_cast<int>(GetLastError());
    return FromLastError(static_cast<DWORD>(lastOsError_));
  }
  *received = got;
  return kOk;
}

int SerialPort::BytesWaiting(size_t* count) {
  if (count != nullptr) *count = 0;
  if (count == nullptr) return kBadArgument;
  if (handle_ < 0) return kNotOpen;
  // Also clears a line error (framing, overrun) that would hold the port.
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(Handle(handle_), &errors, &status)) {
    lastOsError_ = static_cast<int>(GetLastError());
    return FromLastError(static_cast<DWORD>(lastOsError_));
  }
  *count = status.cbInQue;
  return kOk;
}

void SerialPort::Close() {
  if (handle_ < 0) return;
  HANDLE port = Handle(handle_);
  // Pending output that a held-off handshake keeps back gets a bounded
  // moment, then is dropped: closing must not hang the station.
  Deadline deadline(kCloseDrainMs);
  for (;;) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port, &errors, &status) || status.cbOutQue == 0) break;
    if (deadline.Expired()) {
      PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR);
      break;
    }
    SleepMs(kPollSliceMs);
  }
  CloseHandle(port);
  handle_ = -1;
}

}  // namespace platform
