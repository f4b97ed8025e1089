// The test server's reply line and ParseHex on any bytes: no read past the
// line, and a value too large for 64 bits never comes back as its low bits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "server/server_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> line(data, data + size);
  line.push_back('\0');

  size_t consumed = 0;
  uint64_t value = ServerLink::ParseHex(line.data(), &consumed);
  if (consumed > size) std::abort();
  // Sixteen hexadecimal digits after the first non-zero one fill 64 bits; a
  // seventeenth must give the largest value, not a wrapped one.
  size_t i = 0;
  while (line[i] == ' ' || line[i] == '\t') ++i;
  if (line[i] != '\0' && (line[i + 1] == 'x' || line[i + 1] == 'X')) i += 2;
  size_t significant = 0;
  bool started = false;
  for (; i < consumed; ++i) {
    char c = line[i];
    bool zero = !std::strchr("123456789abcdefABCDEF", c) || c == '\0';
    if (!zero) started = true;
    if (started) ++significant;
  }
  if (significant > 16 && value != UINT64_MAX) std::abort();

  ServerResponse response;
  ServerLink::ParseReply(line.data(), size, &response);
  return 0;
}
