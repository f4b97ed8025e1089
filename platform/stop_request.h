// Stop requests for the station's programs: SIGINT and SIGTERM on POSIX;
// Ctrl-C, Ctrl-Break and the console's close on Windows. A request never cuts
// what is under way: the device link takes it between its operations (an
// exchange started is finished), and not at all while an UncutScope lives,
// which marks a page update (an erase and the rewrite after it) or the end of
// a stream. One process-wide state, written from a signal handler (POSIX) or
// the console's control thread (Windows), so only lock-free atomics are
// touched there.
#pragma once

namespace platform {

enum StopKind : int {
  kStopNone = 0,
  kStopInterrupt = 1,  // SIGINT, Ctrl-C, Ctrl-Break
  kStopTerminate = 2,  // SIGTERM, the console's close, log-off or shut-down
};

// From now on a stop request is kept for the program to act on instead of
// ending the process. ReleaseStopRequests gives them back to the system's
// own handling (the requests kept so far stay).
void CatchStopRequests();
void ReleaseStopRequests();

// Takes one request: the first one's kind is kept and every one is counted.
// A further request while an UncutScope lives writes one line to standard
// error saying that the page is being finished. The handlers call it; tests
// call it to stop a run.
void RequestStop(StopKind kind);
// The first request's kind (kStopNone: none) and how many came.
StopKind StopRequested();
int StopRequestCount();
// True when a request waits and no UncutScope lives: the device link starts
// no further operation.
bool StopDue();
// Forgets every request (a test's next run).
void ClearStopRequests();

// 128 + the POSIX signal: 130 for an interrupt, 143 for a terminate request;
// 0 for none.
int StopExitStatus(StopKind kind);
// "interrupt", "terminate" or "none".
const char* StopName(StopKind kind);

// Holds stop requests back for its life: what it guards runs to its end (or
// fails on its own). Scopes nest.
class UncutScope {
 public:
  UncutScope();
  ~UncutScope();
  UncutScope(const UncutScope&) = delete;
  UncutScope& operator=(const UncutScope&) = delete;
};

}  // namespace platform
