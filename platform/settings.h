// Run-time settings: an environment variable of the given name, else the
// compiled-in default (endpoint names QXM_USB_ENDPOINT, QX_DEVICE_IP,
// QXTS_ENDPOINT, QX_COM1..QX_COM8).
#pragma once

#include <cstddef>

namespace platform {

// Never null: the environment's value, the compiled-in default, or "".
// QX_COMn defaults to the system's own device for COMn (/dev/ttyS<n-1> on
// POSIX, \\.\COMn on Windows).
const char* Setting(const char* name);
// Overrides a setting for this process and the programs it starts; a null
// value removes the override.
void SetSetting(const char* name, const char* value);
// "posix" or "win32": the platform layer this program was built with.
const char* PlatformName();
// This machine's name on the network, for records of where a run was made
// ("localhost" when the system gives none); written into buffer, returned.
const char* HostName(char* buffer, size_t capacity);

}  // namespace platform
