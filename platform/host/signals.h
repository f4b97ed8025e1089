// Stop requests for programs that serve until told to stop (SIGINT and
// SIGTERM on POSIX). BlockStopSignals runs before any thread starts, so that
// no thread ever gets them; WaitForStopSignal then waits for one. A dropped
// peer never becomes a signal either.
#pragma once

namespace platform {

void BlockStopSignals();
// Waits until a stop request arrives; returns its number.
int WaitForStopSignal();
// Waits at most ms for a stop request; true when one came.
bool WaitForStopSignalFor(int ms);
// SIGKILL to this process: no handler, no clean-up, as a crash or a kill -9
// (for tests that cut a program at a chosen point).
[[noreturn]] void KillThisProcess();

}  // namespace platform
