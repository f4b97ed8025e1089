// Opening the device the way the station remembers: each handle opened here
// keeps the three texts it was opened with, so that a page update whose link
// dropped can open the device again the same way (USB, or the device's
// Ethernet address once the run has moved there).
#pragma once

#include <cstdint>

// QXM_Open, remembering the texts under the handle given out. Returns the
// library's code.
int32_t OpenDeviceLink(const char* deviceType, const char* connectionType, const char* identifier,
                       int* handle);

// Opens another handle onto the device behind handle, with the texts handle
// was opened with; the caller closes it. kLinkNoRoute when handle was not
// opened here (or was opened with texts too long to keep).
int32_t ReopenDeviceLink(int handle, int* reopened);
