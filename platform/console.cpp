// The process's own console: standard input and output on every system; only
// the placement of its window differs (posix/, win32/).
#include "platform/console.h"

#include <atomic>
#include <cstdio>

#include "platform/status.h"

namespace platform {

void WriteStandardOutput(const char* text, size_t length) {
  if (text == nullptr || length == 0) return;
  std::fwrite(text, 1, length, stdout);
  std::fflush(stdout);
}

namespace {

class ProcessConsole : public Console {
 public:
  void Write(const char* text, size_t length) override { WriteStandardOutput(text, length); }

  int ReadLine(char* buffer, size_t capacity) override {
    if (buffer == nullptr || capacity == 0) return kBadArgument;
    // fgets takes an int count; a console line never comes near it.
    int count = capacity > 1u << 20 ? 1 << 20 : static_cast<int>(capacity);
    if (std::fgets(buffer, count, stdin) == nullptr) {
      buffer[0] = '\0';
      return kClosed;
    }
    return kOk;
  }

  int ReadKey() override { return ReadStandardInputKey(); }

  int PlaceWindow(int x, int y, int width, int height) override {
    return PlaceProcessConsoleWindow(x, y, width, height);
  }
};

std::atomic<Console*> g_console{nullptr};

}  // namespace

Console& GetConsole() {
  static ProcessConsole own;
  Console* c = g_console.load();
  return c != nullptr ? *c : own;
}

void SetConsole(Console* console) { g_console.store(console); }

}  // namespace platform
