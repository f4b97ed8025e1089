// The device link's codes are listed with every other status code of the
// station in base/status_codes.h; here, their texts.
#pragma once

#include <cstdint>

#include "base/status_codes.h"

// The text for a link code; any other code is the library's and gets its text.
const char* LinkErrorToString(int32_t code);
// The device's own exception number (1..255) behind a library code, or 0 when
// the code is not a device exception.
int DeviceExceptionNumber(int32_t code);
