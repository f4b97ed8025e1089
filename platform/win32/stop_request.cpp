// Ctrl-C, Ctrl-Break and the console's close (log-off and shut-down too) as
// stop requests. The system calls the handler on a thread of its own.
#include "platform/stop_request.h"

#include <windows.h>

#include "platform/os.h"

namespace platform {

namespace {

// After a close, log-off or shut-down the system ends the process as soon as
// the handler returns, and at the latest about 5 s after the event. The
// handler holds it for most of that time, so that the station finishes the
// page it is writing, closes the device and writes its records; the
// station's own exit ends this thread (and the process) sooner. A page
// update still recovering a dropped link when the time is up is cut by the
// system, as a kill would cut it.
constexpr DWORD kCloseGraceMs = 4500;

BOOL WINAPI OnConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      RequestStop(kStopInterrupt);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      RequestStop(kStopTerminate);
      Sleep(kCloseGraceMs);
      return TRUE;
    default:
      return FALSE;
  }
}

bool g_caught = false;

}  // namespace

namespace os {

void CatchStopSignals(bool catchThem) {
  if (catchThem == g_caught) return;
  SetConsoleCtrlHandler(OnConsoleControl, catchThem ? TRUE : FALSE);
  g_caught = catchThem;
}

void WriteStopNotice(const char* text, size_t length) {
  HANDLE out = GetStdHandle(STD_ERROR_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  while (length > 0) {
    DWORD chunk = length > 0xFFFF ? 0xFFFF : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!WriteFile(out, text, chunk, &written, nullptr) || written == 0) return;
    text += written;
    length -= written;
  }
}

}  // namespace os

}  // namespace platform
