// Windows' share of the shared platform pieces: Winsock 2.2, COM devices in
// the \\.\ namespace, the system's message texts.
#include "platform/os.h"

#include <windows.h>
#include <winsock2.h>

#include <cstdio>
#include <cstdlib>

#include "platform/settings.h"
#include "platform/status.h"

namespace platform {

namespace os {

int SocketsStartup() {
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return kIoError;
  if (data.wVersion != MAKEWORD(2, 2)) {
    WSACleanup();
    return kWrongVersion;
  }
  return kOk;
}

void SocketsCleanup() { WSACleanup(); }

void DefaultComPath(int number, char* path, size_t capacity) {
  // The device namespace reaches COM10 and above too, and skips any file
  // that happens to be called COMn in the working folder.
  std::snprintf(path, capacity, "\\\\.\\COM%d", number);
}

void SetEnvironment(const char* name, const char* value) {
  _putenv_s(name, value != nullptr ? value : "");
}

}  // namespace os

const char* PlatformName() { return "win32"; }

const char* HostName(char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return "";
  DWORD size = capacity > 0xFFFF ? 0xFFFF : static_cast<DWORD>(capacity);
  if (!GetComputerNameA(buffer, &size)) buffer[0] = '\0';
  buffer[capacity - 1] = '\0';
  if (buffer[0] == '\0') std::snprintf(buffer, capacity, "localhost");
  return buffer;
}

const char* OsErrorText(int osError, char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return "";
  DWORD size = capacity > 0xFFFF ? 0xFFFF : static_cast<DWORD>(capacity);
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(osError), 0, buffer, size, nullptr);
  if (length == 0 || length >= size) {
    std::snprintf(buffer, capacity, "system error %d", osError);
    return buffer;
  }
  // The system's texts end in ".\r\n"; messages add their own ending.
  while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r' ||
                        buffer[length - 1] == ' ' || buffer[length - 1] == '.')) {
    --length;
  }
  buffer[length] = '\0';
  return buffer;
}

}  // namespace platform
