#include "line/process.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/signals.h"

namespace line {

void BlockStopRequests() { platform::BlockStopSignals(); }

bool WaitForStop(int ms) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  timespec wait{ms / 1000, (ms % 1000) * 1000000L};
  return sigtimedwait(&set, nullptr, &wait) > 0;
}

void KillThisProcess() {
  kill(getpid(), SIGKILL);
  std::abort();  // never reached
}

}  // namespace line
