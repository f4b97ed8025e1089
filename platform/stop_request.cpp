#include "platform/stop_request.h"

#include <atomic>
#include <cstring>

#include "platform/os.h"

namespace platform {

namespace {

// Lock-free, so that a signal handler may touch them.
std::atomic<int> g_kind{kStopNone};
std::atomic<int> g_count{0};
std::atomic<int> g_uncut{0};

constexpr char kFinishingPage[] =
    "Stop requested: finishing the page being written to the device first\n";

}  // namespace

void CatchStopRequests() { os::CatchStopSignals(true); }
void ReleaseStopRequests() { os::CatchStopSignals(false); }

void RequestStop(StopKind kind) {
  if (kind == kStopNone) return;
  int none = kStopNone;
  g_kind.compare_exchange_strong(none, kind);
  const int count = g_count.fetch_add(1) + 1;
  if (count > 1 && g_uncut.load() > 0) {
    os::WriteStopNotice(kFinishingPage, sizeof kFinishingPage - 1);
  }
}

StopKind StopRequested() { return static_cast<StopKind>(g_kind.load()); }
int StopRequestCount() { return g_count.load(); }
bool StopDue() { return g_kind.load() != kStopNone && g_uncut.load() == 0; }

void ClearStopRequests() {
  g_kind.store(kStopNone);
  g_count.store(0);
}

int StopExitStatus(StopKind kind) {
  switch (kind) {
    case kStopInterrupt:
      return 128 + 2;
    case kStopTerminate:
      return 128 + 15;
    default:
      return 0;
  }
}

const char* StopName(StopKind kind) {
  switch (kind) {
    case kStopInterrupt:
      return "interrupt";
    case kStopTerminate:
      return "terminate";
    default:
      return "none";
  }
}

UncutScope::UncutScope() { g_uncut.fetch_add(1); }
UncutScope::~UncutScope() { g_uncut.fetch_sub(1); }

}  // namespace platform
