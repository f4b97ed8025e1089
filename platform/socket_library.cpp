// The socket library is started once per user (a link, the device-access
// library) and released by that user alone, so a release that nothing started
// never pulls the library from under a connection that is still open.
#include <atomic>

#include "platform/os.h"
#include "platform/socket.h"
#include "platform/status.h"

namespace platform {

namespace {
std::atomic<int> g_started{0};
}

int SocketsStartup() {
  int status = os::SocketsStartup();
  if (status == kOk) ++g_started;
  return status;
}

void SocketsCleanup() {
  int count = g_started.load();
  while (count > 0 && !g_started.compare_exchange_weak(count, count - 1)) {
  }
  if (count > 0) os::SocketsCleanup();
}

int SocketsStarted() { return g_started.load(); }

}  // namespace platform
