// The station's console: text out, a line or a key in, and the placement of
// the console window. Station code reaches the console only through here, so
// that tests can put a scripted console in its place.
#pragma once

#include <cstddef>

namespace platform {

class Console {
 public:
  virtual ~Console() = default;
  // Writes the text at once (progress lines must show while work goes on).
  virtual void Write(const char* text, size_t length) = 0;
  // Reads one line, as much of it as fits capacity - 1 characters; the line
  // feed stays in the buffer when it fits, and the rest of a longer line
  // waits for the next read. Returns kOk, or kClosed with an empty buffer at
  // the end of input.
  virtual int ReadLine(char* buffer, size_t capacity) = 0;
  // Reads one key press at a terminal (no Enter needed, nothing echoed), or
  // one character of any other input; -1 at the end of input.
  virtual int ReadKey() = 0;
  // Moves the console window to x, y with the size given (pixels) and brings
  // it to the front where the console has such a window; kOk when asked,
  // kNotOpen when there is no window to place.
  virtual int PlaceWindow(int x, int y, int width, int height) = 0;
};

// The console in force: the process's own unless a test replaced it.
Console& GetConsole();
// Replaces the console; nullptr restores the process's own. The caller keeps
// ownership and must restore before the console goes away.
void SetConsole(Console* console);

inline void ConsoleWrite(const char* text, size_t length) { GetConsole().Write(text, length); }
inline int ConsoleReadLine(char* buffer, size_t capacity) {
  return GetConsole().ReadLine(buffer, capacity);
}
inline int ConsoleReadKey() { return GetConsole().ReadKey(); }
inline int PlaceConsoleWindow(int x, int y, int width, int height) {
  return GetConsole().PlaceWindow(x, y, width, height);
}

// The process's own console, for the console above: standard output
// written and flushed at once, and the placement of its window, which each
// system implements (kNotOpen where there is no window).
void WriteStandardOutput(const char* text, size_t length);
int PlaceProcessConsoleWindow(int x, int y, int width, int height);
// One key press when standard input is a terminal (its line mode is set
// aside for that one key and put back), else one character; -1 at the end
// of input.
int ReadStandardInputKey();

// Makes standard output and standard error pass every byte as written, as
// POSIX does; Windows would turn each "\n" into "\r\n", so the report's
// "\r\n" would reach a log as "\r\r\n". Every program calls it at start-up,
// before its first output. Standard input keeps its own mode.
void UseExactStandardOutput();

// Installs a console for the life of a scope (tests).
class ScopedConsole {
 public:
  explicit ScopedConsole(Console* console) { SetConsole(console); }
  ~ScopedConsole() { SetConsole(nullptr); }
  ScopedConsole(const ScopedConsole&) = delete;
  ScopedConsole& operator=(const ScopedConsole&) = delete;
};

}  // namespace platform
