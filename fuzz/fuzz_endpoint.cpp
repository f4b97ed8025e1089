// Endpoint settings (QXM_USB_ENDPOINT, QX_DEVICE_IP, QXTS_ENDPOINT and
// qxsim's own) on any text: "host:port" or "host", split at the last
// colon; the port decimal (a leading zero too) and 1..65535 (0 only where
// asked for); the host never written past its field, whatever its size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/socket.h"
#include "platform/status.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 512) return 0;
  size_t hostCap = 1 + data[0] % 128;
  bool zeroAllowed = (data[1] & 1) != 0;
  uint16_t defaultPort = static_cast<uint16_t>(data[1] >> 1);
  std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  text = text.c_str();

  // Exactly the field's size, so that a write past it is caught.
  std::unique_ptr<char[]> host(new char[hostCap]);
  uint16_t port = 7;
  int status =
      platform::ParseEndpoint(text.c_str(), defaultPort, host.get(), hostCap, &port, zeroAllowed);

  size_t colon = text.rfind(':');
  std::string hostText = colon == std::string::npos ? text : text.substr(0, colon);
  bool hasPort = colon != std::string::npos;
  std::string digits = hasPort ? text.substr(colon + 1) : "";
  bool digitsOk = !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
  size_t first = digits.find_first_not_of('0');
  std::string significant = first == std::string::npos ? "0" : digits.substr(first);
  unsigned long value =
      significant.size() <= 5 ? std::strtoul(significant.c_str(), nullptr, 10) : 70000;
  if (!hasPort) value = defaultPort;
  bool valid = !hostText.empty() && hostText.size() < hostCap && (!hasPort || digitsOk) &&
               value <= 65535 && (value != 0 || (hasPort && zeroAllowed));

  if ((status == platform::kOk) != valid) std::abort();
  if (status == platform::kOk) {
    if (hostText != host.get() || port != value) std::abort();
  } else if (port != 7 || host[0] != '\0') {
    std::abort();  // a refusal gives no half-parsed endpoint
  }
  return 0;
}
