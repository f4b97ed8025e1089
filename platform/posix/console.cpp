// The console window and key on POSIX. A terminal has no window the program
// owns; an xterm-compatible one takes window-manipulation requests, which are
// sent only when standard output is such a terminal, so that piped output
// stays exactly the dialogue's text. A key is read with the terminal's line
// mode set aside.
#include "platform/console.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

namespace {

int ReadCharacter() {
  int c = std::getchar();
  return c == EOF ? -1 : c;
}

}  // namespace

int ReadStandardInputKey() {
  struct termios line;
  if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &line) != 0) return ReadCharacter();
  // One key, unechoed; Ctrl-C counts as a key too, so that the terminal is
  // never left in this mode by a signal.
  struct termios key = line;
  key.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
  key.c_cc[VMIN] = 1;
  key.c_cc[VTIME] = 0;
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &key) != 0) return ReadCharacter();
  unsigned char c = 0;
  ssize_t n;
  do {
    n = ::read(STDIN_FILENO, &c, 1);
  } while (n < 0 && errno == EINTR);
  ::tcsetattr(STDIN_FILENO, TCSANOW, &line);
  return n == 1 ? c : -1;
}

// POSIX streams pass every byte already.
void UseExactStandardOutput() {}

}  // namespace platform
