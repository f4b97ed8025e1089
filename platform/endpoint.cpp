#include <cstdlib>
#include <cstring>

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
  unsigned long value = defaultPort;
  if (colon != nullptr) {
    const char* digits = colon + 1;
    if (*digits == '\0') return kBadAddress;
    for (const char* p = digits; *p != '\0'; ++p) {
      if (*p < '0' || *p > '9') return kBadAddress;
    }
    if (std::strlen(digits) > 5) return kBadAddress;
    value = std::strtoul(digits, nullptr, 10);
  }
  if (value > 65535 || (value == 0 && (colon == nullptr || !portZeroAllowed))) return kBadAddress;
  std::memcpy(host, text, hostLength);
  host[hostLength] = '\0';
  *port = static_cast<uint16_t>(value);
  return kOk;
}

}  // namespace platform
