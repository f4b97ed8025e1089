#include "platform/settings.h"

#include <cstdlib>
#include <cstring>

#include "platform/os.h"

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
};

constexpr int kComPorts = 8;

// The operating system's own path behind each COM name, made once.
struct ComDefaults {
  char paths[kComPorts][32];
  ComDefaults() {
    for (int i = 0; i < kComPorts; ++i) os::DefaultComPath(i + 1, paths[i], sizeof paths[i]);
  }
};

const char* ComDefault(const char* name) {
  static const ComDefaults defaults;
  if (std::strncmp(name, "QX_COM", 6) != 0 || name[6] < '1' || name[6] > '8' || name[7] != '\0') {
    return nullptr;
  }
  return defaults.paths[name[6] - '1'];
}

}  // namespace

const char* Setting(const char* name) {
  if (name == nullptr) return "";
  const char* fromEnv = std::getenv(name);
  if (fromEnv != nullptr && fromEnv[0] != '\0') return fromEnv;
  for (const Default& d : kDefaults) {
    if (std::strcmp(d.name, name) == 0) return d.value;
  }
  const char* com = ComDefault(name);
  return com != nullptr ? com : "";
}

void SetSetting(const char* name, const char* value) {
  if (name == nullptr || name[0] == '\0') return;
  os::SetEnvironment(name, value);
}

}  // namespace platform
