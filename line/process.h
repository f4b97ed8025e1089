// The little the line tool needs of the host (platform/host/): a stop
// request waited for with a time limit, and the test hook that kills the
// process at a chosen point.
#pragma once

namespace line {

// Blocks SIGINT and SIGTERM (platform::BlockStopSignals), so that they wait
// for WaitForStop instead of ending the process. Call before any thread.
void BlockStopRequests();
// Waits at most ms for a stop request; true when one came.
bool WaitForStop(int ms);
// SIGKILL to this process: no handler, no clean-up, as a crash or a kill -9.
[[noreturn]] void KillThisProcess();

}  // namespace line
