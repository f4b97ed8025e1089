#include "qxm/qxm_errors.h"
#include "qxm/transport.h"

// Placeholder until the Modbus TCP transport lands: no device can be found.
int QxmOpenTransport(const char*, const char*, const char*, std::unique_ptr<QxmBackend>*) {
  return QXM_ERR_NO_ANSWER;
}
