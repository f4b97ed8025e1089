#include "platform/host/signals.h"

#include <pthread.h>
#include <signal.h>

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

}  // namespace platform
