// The console on POSIX: standard input and output. A terminal has no window
// the program owns; an xterm-compatible one takes window-manipulation
// requests, which are sent only when standard output is such a terminal, so
// that piped output stays exactly the dialogue's text.
#include "platform/console.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/status.h"

namespace platform {

namespace {

class PosixConsole : public Console {
 public:
  void Write(const char* text, size_t length) override {
    if (text == nullptr || length == 0) return;
    std::fwrite(text, 1, length, stdout);
    std::fflush(stdout);
  }

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

  int ReadKey() override {
    int c = std::getchar();
    return c == EOF ? -1 : c;
  }

  int PlaceWindow(int x, int y, int width, int height) override {
    if (!::isatty(STDOUT_FILENO)) return kNotOpen;
    const char* term = std::getenv("TERM");
    if (term == nullptr || term[0] == '\0' || std::strcmp(term, "dumb") == 0) return kNotOpen;
    // Move to x, y; resize to height x width pixels; raise to the front.
    std::string request = "\x1b[3;" + std::to_string(x) + ";" + std::to_string(y) + "t" +
                          "\x1b[4;" + std::to_string(height) + ";" + std::to_string(width) + "t" +
                          "\x1b[5t";
    Write(request.data(), request.size());
    return kOk;
  }
};

std::atomic<Console*> g_console{nullptr};

}  // namespace

Console& GetConsole() {
  static PosixConsole own;
  Console* c = g_console.load();
  return c != nullptr ? *c : own;
}

void SetConsole(Console* console) { g_console.store(console); }

}  // namespace platform
