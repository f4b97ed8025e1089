#include "platform/host/signals.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

namespace {

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void BlockStopSignals() {
  sigset_t set = StopSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int WaitForStopSignal() {
  sigset_t set = StopSet();
  int received = 0;
  while (sigwait(&set, &received) != 0) {
  }
  return received;
}

bool WaitForStopSignalFor(int ms) {
  sigset_t set = StopSet();
  timespec wait{ms / 1000, (ms % 1000) * 1000000L};
  return sigtimedwait(&set, nullptr, &wait) > 0;
}

void KillThisProcess() {
  kill(getpid(), SIGKILL);
  std::abort();  // never reached
}

}  // namespace platform
