// The test server link's reply reading across receives, on any bytes split
// into receives anywhere (and some dropped as stale input before a
// request): the first reply is the stream's first line whatever the split,
// and no reply is ever the middle of a line (the rest of an earlier line, or
// of one nobody asked for). Each line is then parsed as a reply.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/server_link.h"

namespace {

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// The line starts right after a line end of the stream (or at its start when
// first) and runs to a line end or to the reader's capacity.
bool StartsALine(const std::string& stream, const std::string& line, bool first) {
  const size_t full = ReplyLineReader::kCapacity - 1;
  for (size_t p = stream.find(line); p != std::string::npos; p = stream.find(line, p + 1)) {
    bool startOk = first ? p == 0 : p > 0 && IsLineEnd(stream[p - 1]);
    size_t end = p + line.size();
    bool endOk = line.size() == full || (end < stream.size() && IsLineEnd(stream[end]));
    if (startOk && endOk) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 8192) return 0;
  // The first bytes say how the receives come: length and whether stale.
  size_t planLength = 1 + data[0] % 16;
  if (size <= 1 + planLength) return 0;
  const uint8_t* plan = data + 1;
  std::string stream(reinterpret_cast<const char*>(data + 1 + planLength), size - 1 - planLength);

  ReplyLineReader reader;
  reader.Reset();
  reader.Start();
  size_t at = 0;
  size_t turn = 0;
  size_t lines = 0;
  while (at < stream.size()) {
    uint8_t step = plan[turn++ % planLength];
    size_t n = std::min<size_t>(stream.size() - at, 1 + (step & 0x7F) * 5);
    bool between = lines > 0 && reader.room() == ReplyLineReader::kCapacity - 1;
    if ((step & 0x80) != 0 && between) {
      // Bytes that came before the next request, which nobody asked for.
      reader.Drop(stream.data() + at, n);
      at += n;
      continue;
    }
    n = std::min(n, reader.room());
    std::memcpy(reader.space(), stream.data() + at, n);
    at += n;
    if (!reader.Take(n)) continue;
    std::string line(reader.line(), reader.length());
    if (reader.line()[reader.length()] != '\0') std::abort();
    if (line.find_first_of("\r\n") != std::string::npos) std::abort();
    if (lines == 0) {
      size_t end = stream.find_first_of("\r\n");
      std::string first = stream.substr(0, end == std::string::npos ? stream.size() : end);
      if (line != first.substr(0, ReplyLineReader::kCapacity - 1)) std::abort();
    } else if (!StartsALine(stream, line, false)) {
      std::abort();
    }
    ServerResponse response;
    ServerLink::ParseReply(reader.line(), reader.length(), &response);
    ++lines;
    reader.Start();
  }
  return 0;
}
