// What an operator types at qxtest's prompt, any bytes: the path the upgrade
// is given is the typed line without its line feed, never more than the
// buffer holds, and never a byte of the line after it.
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
  int PlaceWindow(int, int, int, int) override { return platform::kNotOpen; }

 private:
  std::string input_;
  size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::string typed(reinterpret_cast<const char*>(data), size);
  TypedConsole console(typed);
  platform::ScopedConsole scoped(&console);
  char path[kUpgradePathCapacity];
  std::memset(path, 'X', sizeof path);
  int status = ReadPromptedPath(path, sizeof path);

  const char* end = static_cast<const char*>(std::memchr(path, '\0', sizeof path));
  if (end == nullptr) std::abort();  // always terminated
  std::string got(path, static_cast<size_t>(end - path));
  // The first line as typed, without its feed; an embedded NUL ends the text.
  std::string line = typed.substr(0, typed.find('\n'));
  line = line.c_str();
  if (status == platform::kClosed && (size != 0 || !got.empty())) std::abort();
  if (got.find('\n') != std::string::npos) std::abort();
  if (line.compare(0, got.size(), got) != 0) std::abort();  // a prefix of the line
  // Today a longer line is cut at the buffer; nothing beyond it is taken.
  if (got.size() != std::min(line.size(), sizeof path - 1)) std::abort();
  return 0;
}
