// The console window on Windows. A process without one (output sent to a file,
// a service, a session without a desktop) has nothing to place.
#include "platform/console.h"

#include <windows.h>

#include "platform/status.h"

namespace platform {

int PlaceProcessConsoleWindow(int x, int y, int width, int height) {
  HWND window = GetConsoleWindow();
  if (window == nullptr) return kNotOpen;
  MoveWindow(window, x, y, width, height, TRUE);
  SetForegroundWindow(window);
  return kOk;
}

}  // namespace platform
