#include "device/link_errors.h"

#include "qxm/qxm.h"
#include "qxm/qxm_errors.h"

const char* LinkErrorToString(int32_t code) {
  const char* text = StatusCodeText(StatusFamily::kDeviceLink, code);
  return text != nullptr ? text : QXM_ErrorToString(code);
}

int DeviceExceptionNumber(int32_t code) {
  int32_t number = code - QXM_ERR_DEVICE_EXCEPTION_BASE;
  return number > 0 && number < 256 ? static_cast<int>(number) : 0;
}
