// SIGINT and SIGTERM as stop requests. SA_RESTART keeps the station's reads
// and writes going; the waits that a signal still cuts short (poll, sleeps)
// go on for the time left, so a request never fails an exchange.
#include "platform/stop_request.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/os.h"

namespace platform {

namespace {

struct sigaction g_previous[2];
bool g_caught = false;
constexpr int kSignals[2] = {SIGINT, SIGTERM};

void OnStopSignal(int signal) {
  const int saved = errno;
  RequestStop(signal == SIGINT ? kStopInterrupt : kStopTerminate);
  errno = saved;
}

}  // namespace

namespace os {

void CatchStopSignals(bool catchThem) {
  if (catchThem == g_caught) return;
  for (int i = 0; i < 2; ++i) {
    if (catchThem) {
      struct sigaction action {};
      action.sa_handler = OnStopSignal;
      sigemptyset(&action.sa_mask);
      action.sa_flags = SA_RESTART;
      sigaction(kSignals[i], &action, &g_previous[i]);
    } else {
      sigaction(kSignals[i], &g_previous[i], nullptr);
    }
  }
  g_caught = catchThem;
}

void WriteStopNotice(const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(STDERR_FILENO, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

}  // namespace os

}  // namespace platform
