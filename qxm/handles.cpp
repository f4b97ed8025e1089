// The handle table of the device-access library and its three C calls.
#include <cstring>
#include <memory>

#include "qxm/qxm.h"
#include "qxm/qxm_backend.h"
#include "qxm/qxm_errors.h"
#include "qxm/transport.h"

namespace {

constexpr int kMaxHandles = 16;
// Handles start above 0 so that a cleared handle (0) never names a device.
constexpr int kFirstHandle = 1;

std::unique_ptr<QxmBackend> g_backends[kMaxHandles];
QxmOpenHook g_openHook = nullptr;

QxmBackend* Lookup(int handle) {
  int slot = handle - kFirstHandle;
  if (slot < 0 || slot >= kMaxHandles) return nullptr;
  return g_backends[slot].get();
}

}  // namespace

int QxmRegisterBackend(std::unique_ptr<QxmBackend> backend, int* handle) {
  if (!backend || handle == nullptr) return QXM_ERR_BAD_ARGUMENT;
  for (int slot = 0; slot < kMaxHandles; ++slot) {
    if (!g_backends[slot]) {
      g_backends[slot] = std::move(backend);
      *handle = slot + kFirstHandle;
      return QXM_OK;
    }
  }
  return QXM_ERR_TOO_MANY_HANDLES;
}

void QxmSetOpenHook(QxmOpenHook hook) { g_openHook = hook; }

extern "C" int QXM_Open(const char* deviceType, const char* connectionType, const char* identifier,
                        int* handle) {
  if (deviceType == nullptr || connectionType == nullptr || identifier == nullptr ||
      handle == nullptr) {
    return QXM_ERR_BAD_ARGUMENT;
  }
  std::unique_ptr<QxmBackend> backend;
  QxmOpenHook hook = g_openHook != nullptr ? g_openHook : QxmOpenTransport;
  int code = hook(deviceType, connectionType, identifier, &backend);
  if (code != QXM_OK) return code;
  if (!backend) return QXM_ERR_NO_ANSWER;
  return QxmRegisterBackend(std::move(backend), handle);
}

extern "C" int QXM_MBFBComm(int handle, int unitId, unsigned char* buffer, int* errorAddress) {
  (void)unitId;  // the station always talks to unit 0
  QxmBackend* backend = Lookup(handle);
  if (backend == nullptr) return QXM_ERR_INVALID_HANDLE;
  if (buffer == nullptr) return QXM_ERR_BAD_ARGUMENT;
  int unused = 0;
  if (errorAddress == nullptr) errorAddress = &unused;
  *errorAddress = 0;
  return backend->Exchange(buffer, errorAddress);
}

extern "C" int QXM_Close(int handle) {
  int slot = handle - kFirstHandle;
  if (slot < 0 || slot >= kMaxHandles || !g_backends[slot]) return QXM_ERR_INVALID_HANDLE;
  g_backends[slot].reset();
  return QXM_OK;
}
