#include "line/process.h"

#include "platform/host/signals.h"

namespace line {

void BlockStopRequests() { platform::BlockStopSignals(); }

bool WaitForStop(int ms) { return platform::WaitForStopSignalFor(ms); }

void KillThisProcess() { platform::KillThisProcess(); }

}  // namespace line
