// What an operator types at qxtest's prompt, any bytes: the path the upgrade
// is given is the whole typed line without its line end and without quotes
// around it, or the line is refused when it does not fit; never a cut line,
// and never a byte of the line after it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "platform/status.h"
#include "upgrade/run_upgrade.h"

namespace {

// Standard input as the process's console reads it: a line up to capacity - 1
// characters, its line feed kept when it fits.
class TypedConsole : public platform::Console {
 public:
  explicit TypedConsole(std::string input) : input_(std::move(input)) {}
  void Write(const char*, size_t) override {}
  int ReadLine(char* buffer, size_t capacity) override {
    if (at_ >= input_.size()) {
      buffer[0] = '\0';
      return platform::kClosed;
    }
    size_t n = 0;
    while (n + 1 < capacity && at_ < input_.size()) {
      char c = input_[at_++];
      buffer[n++] = c;
      if (c == '\n') break;
    }
    buffer[n] = '\0';
    return platform::kOk;
  }
  int ReadKey() override { return -1; }
  size_t consumed() const { return at_; }
  int PlaceWindow(int, int, int, int) override { return platform::kNotOpen; }

 private:
  std::string input_;
  size_t at_ = 0;
};

}  // namespace

namespace {

// The path as the prompt should take it from one whole line.
std::string Expected(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() >= 2 && (line[0] == '"' || line[0] == '\'') && line.back() == line[0]) {
    line = line.substr(1, line.size() - 2);
  }
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::string typed(reinterpret_cast<const char*>(data), size);
  size_t feed = typed.find('\n');
  std::string line = typed.substr(0, feed);
  // A NUL ends a C line early; what the console does with one is not the
  // prompt's concern.
  if (line.find('\0') != std::string::npos) return 0;
  TypedConsole console(typed);
  platform::ScopedConsole scoped(&console);
  char path[kUpgradePathCapacity];
  std::memset(path, 'X', sizeof path);
  bool taken = ReadTypedPath(path, sizeof path);

  const char* end = static_cast<const char*>(std::memchr(path, '\0', sizeof path));
  if (end == nullptr) std::abort();  // always terminated
  std::string got(path, static_cast<size_t>(end - path));
  std::string whole = line;
  if (!whole.empty() && whole.back() == '\r') whole.pop_back();
  if (taken) {
    if (whole.size() > sizeof path - 1) std::abort();  // a line that did not fit was taken
    if (got != Expected(line)) std::abort();           // cut or changed
  } else {
    if (line.size() < sizeof path) std::abort();  // a line that fits was refused
    if (!got.empty()) std::abort();
  }
  // Nothing of the next line is read.
  size_t lineEnd = feed == std::string::npos ? typed.size() : feed + 1;
  if (console.consumed() > lineEnd) std::abort();
  return 0;
}
