#include <cstring>

#include "platform/number.h"
#include "platform/socket.h"
#include "platform/status.h"

namespace platform {

int ParseEndpoint(const char* text, uint16_t defaultPort, char* host, size_t hostCap,
                  uint16_t* port, bool portZeroAllowed) {
  if (text == nullptr || host == nullptr || hostCap == 0 || port == nullptr) return kBadArgument;
  host[0] = '\0';
  const char* colon = std::strrchr(text, ':');
  size_t hostLength = colon != nullptr ? static_cast<size_t>(colon - text) : std::strlen(text);
  if (hostLength == 0 || hostLength >= hostCap) return kBadAddress;
  uint64_t value = defaultPort;
  // A port is decimal; a leading zero does not make it octal.
  if (colon != nullptr && !ParseDecimalNumber(colon + 1, 65535, &value)) return kBadAddress;
  if (value == 0 && (colon == nullptr || !portZeroAllowed)) return kBadAddress;
  std::memcpy(host, text, hostLength);
  host[hostLength] = '\0';
  *port = static_cast<uint16_t>(value);
  return kOk;
}

}  // namespace platform
