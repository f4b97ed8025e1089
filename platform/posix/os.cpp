// POSIX's share of the shared platform pieces: no socket library to start,
// serial devices under /dev, errno texts.
#include "platform/os.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/settings.h"
#include "platform/status.h"

namespace platform {

namespace os {

int SocketsStartup() { return kOk; }
void SocketsCleanup() {}

void DefaultComPath(int number, char* path, size_t capacity) {
  std::snprintf(path, capacity, "/dev/ttyS%d", number - 1);
}

void SetEnvironment(const char* name, const char* value) {
  if (value != nullptr) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
}

}  // namespace os

const char* PlatformName() { return "posix"; }

const char* HostName(char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return "";
  // A name that does not fit may come back without its terminator.
  if (::gethostname(buffer, capacity) != 0) buffer[0] = '\0';
  buffer[capacity - 1] = '\0';
  if (buffer[0] == '\0') std::snprintf(buffer, capacity, "localhost");
  return buffer;
}

const char* OsErrorText(int osError, char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return "";
  // strerror's buffer is shared, so its text is copied at once.
  std::snprintf(buffer, capacity, "%s", std::strerror(osError));
  return buffer;
}

}  // namespace platform
