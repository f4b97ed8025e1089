#include "platform/settings.h"

#include <cstdlib>
#include <cstring>

#ifndef QXM_USB_ENDPOINT_DEFAULT
#define QXM_USB_ENDPOINT_DEFAULT "127.0.0.1:50200"
#endif
#ifndef QX_DEVICE_IP_DEFAULT
#define QX_DEVICE_IP_DEFAULT "127.0.0.1:50502"
#endif
#ifndef QXTS_ENDPOINT_DEFAULT
#define QXTS_ENDPOINT_DEFAULT "127.0.0.1:5001"
#endif

namespace platform {

namespace {

struct Default {
  const char* name;
  const char* value;
};

constexpr Default kDefaults[] = {
    {"QXM_USB_ENDPOINT", QXM_USB_ENDPOINT_DEFAULT},
    {"QX_DEVICE_IP", QX_DEVICE_IP_DEFAULT},
    {"QXTS_ENDPOINT", QXTS_ENDPOINT_DEFAULT},
    {"QX_COM1", "/dev/ttyS0"},
    {"QX_COM2", "/dev/ttyS1"},
    {"QX_COM3", "/dev/ttyS2"},
    {"QX_COM4", "/dev/ttyS3"},
    {"QX_COM5", "/dev/ttyS4"},
    {"QX_COM6", "/dev/ttyS5"},
    {"QX_COM7", "/dev/ttyS6"},
    {"QX_COM8", "/dev/ttyS7"},
};

}  // namespace

const char* Setting(const char* name) {
  if (name == nullptr) return "";
  const char* fromEnv = std::getenv(name);
  if (fromEnv != nullptr && fromEnv[0] != '\0') return fromEnv;
  for (const Default& d : kDefaults) {
    if (std::strcmp(d.name, name) == 0) return d.value;
  }
  return "";
}

}  // namespace platform
