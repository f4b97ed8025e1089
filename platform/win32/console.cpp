// The console window on Windows. A process without one (output sent to a file,
// a service, a session without a desktop) has nothing to place.
#include "platform/console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/status.h"

namespace platform {

int PlaceProcessConsoleWindow(int x, int y, int width, int height) {
  HWND window = GetConsoleWindow();
  if (window == nullptr) return kNotOpen;
  MoveWindow(window, x, y, width, height, TRUE);
  SetForegroundWindow(window);
  return kOk;
}

void UseExactStandardOutput() {
  std::fflush(stdout);
  std::fflush(stderr);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

}  // namespace platform
