// Run-time settings: an environment variable of the given name, else the
// compiled-in default (endpoint names QXM_USB_ENDPOINT, QX_DEVICE_IP,
// QXTS_ENDPOINT, QX_COM1..QX_COM8).
#pragma once

namespace platform {

// Never null: the environment's value, the compiled-in default, or "".
const char* Setting(const char* name);

}  // namespace platform
