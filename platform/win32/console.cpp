// The console window and key on Windows. A process without a window (output
// sent to a file, a service, a session without a desktop) has nothing to
// place; a key is read from the console's own input events, so that it takes
// no Enter.
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

int ReadStandardInputKey() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  // A pipe or a file gives characters; only a console gives key presses.
  if (input == nullptr || input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode)) {
    int c = std::getchar();
    return c == EOF ? -1 : c;
  }
  for (;;) {
    INPUT_RECORD record;
    DWORD count = 0;
    if (!ReadConsoleInputA(input, &record, 1, &count) || count == 0) return -1;
    if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) continue;
    WORD key = record.Event.KeyEvent.wVirtualKeyCode;
    // Shift, Ctrl or Alt held down is not yet a key press.
    if (key == VK_SHIFT || key == VK_CONTROL || key == VK_MENU) continue;
    return static_cast<unsigned char>(record.Event.KeyEvent.uChar.AsciiChar);
  }
}

void UseExactStandardOutput() {
  std::fflush(stdout);
  std::fflush(stderr);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

}  // namespace platform
