#include "device/device_link.h"

#include <cstring>

#include "device/link_errors.h"
#include "qxm/qxm.h"

namespace {

constexpr size_t kTextCapacity = 64;
constexpr int kRoutes = 16;

struct Route {
  int handle = 0;
  char deviceType[kTextCapacity] = {};
  char connectionType[kTextCapacity] = {};
  char identifier[kTextCapacity] = {};
};

// One per handle number: a number the library gives out again replaces the
// route of the handle that had it before.
Route g_routes[kRoutes];
int g_next = 0;

bool Keep(char* field, const char* text) {
  const size_t n = strnlen(text, kTextCapacity);
  if (n >= kTextCapacity) return false;
  std::memcpy(field, text, n + 1);
  return true;
}

Route* RouteOf(int handle) {
  for (Route& r : g_routes) {
    if (r.handle == handle && handle != 0) return &r;
  }
  return nullptr;
}

}  // namespace

int32_t OpenDeviceLink(const char* deviceType, const char* connectionType, const char* identifier,
                       int* handle) {
  int32_t code = QXM_Open(deviceType, connectionType, identifier, handle);
  if (code != 0 || handle == nullptr) return code;
  // The handle's own entry (the number given out again), else a free one,
  // else the oldest: a station holds two or three handles at most.
  Route* route = RouteOf(*handle);
  if (route == nullptr) {
    for (Route& r : g_routes) {
      if (r.handle == 0) {
        route = &r;
        break;
      }
    }
  }
  if (route == nullptr) {
    route = &g_routes[g_next];
    g_next = (g_next + 1) % kRoutes;
  }
  route->handle = 0;
  if (Keep(route->deviceType, deviceType) && Keep(route->connectionType, connectionType) &&
      Keep(route->identifier, identifier)) {
    route->handle = *handle;
  }
  return code;
}

int32_t ReopenDeviceLink(int handle, int* reopened) {
  const Route* route = RouteOf(handle);
  if (route == nullptr) return kLinkNoRoute;
  return QXM_Open(route->deviceType, route->connectionType, route->identifier, reopened);
}
