#include "base/format_mac.h"

#include "base/text.h"

size_t FormatMac(const uint8_t* mac, char* out, size_t cap) {
  if (out == nullptr || cap == 0) return 0;
  if (mac == nullptr) {
    out[0] = '\0';
    return 0;
  }
  return TextFormat(out, cap, "%02X.%02X.%02X.%02X.%02X.%02X", mac[0], mac[1], mac[2], mac[3],
                    mac[4], mac[5]);
}
