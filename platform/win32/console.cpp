// The console on Windows: the C runtime's standard input and output, and the
// console's own window. A process without a console window (output sent to a
// file, a service, a session without a desktop) has nothing to place.
#include "platform/console.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

#include "platform/status.h"

namespace platform {

namespace {

class WindowsConsole : public Console {
 public:
  void Write(const char* text, size_t length) override {
    if (text == nullptr || length == 0) return;
    std::fwrite(text, 1, length, stdout);
    std::fflush(stdout);
  }

  int ReadLine(char* buffer, size_t capacity) override {
    if (buffer == nullptr || capacity == 0) return kBadArgument;
    int count = capacity > 1u << 20 ? 1 << 20 : static_cast<int>(capacity);
    if (std::fgets(buffer, count, stdin) == nullptr) {
      buffer[0] = '\0';
      return kClosed;
    }
    return kOk;
  }

  int ReadKey() override {
    int c = std::getchar();
    return c == EOF ? -1 : c;
  }

  int PlaceWindow(int x, int y, int width, int height) override {
    HWND window = GetConsoleWindow();
    if (window == nullptr) return kNotOpen;
    MoveWindow(window, x, y, width, height, TRUE);
    SetForegroundWindow(window);
    return kOk;
  }
};

std::atomic<Console*> g_console{nullptr};

}  // namespace

Console& GetConsole() {
  static WindowsConsole own;
  Console* c = g_console.load();
  return c != nullptr ? *c : own;
}

void SetConsole(Console* console) { g_console.store(console); }

}  // namespace platform
