// The console window on POSIX. A terminal has no window the program owns; an
// xterm-compatible one takes window-manipulation requests, which are sent only
// when standard output is such a terminal, so that piped output stays exactly
// the dialogue's text.
#include "platform/console.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/status.h"

namespace platform {

int PlaceProcessConsoleWindow(int x, int y, int width, int height) {
  if (!::isatty(STDOUT_FILENO)) return kNotOpen;
  const char* term = std::getenv("TERM");
  if (term == nullptr || term[0] == '\0' || std::strcmp(term, "dumb") == 0) return kNotOpen;
  // Move to x, y; resize to height x width pixels; raise to the front.
  std::string request = "\x1b[3;" + std::to_string(x) + ";" + std::to_string(y) + "t" + "\x1b[4;" +
                        std::to_string(height) + ";" + std::to_string(width) + "t" + "\x1b[5t";
  WriteStandardOutput(request.data(), request.size());
  return kOk;
}

// POSIX streams pass every byte already.
void UseExactStandardOutput() {}

}  // namespace platform
