// Device-access library: opens a device, carries one Modbus feedback exchange
// (function 76) to it, closes it. A C interface, as the station expects of a
// library that lives outside it.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Size of the request/reply buffer that QXM_MBFBComm works in.
#define QXM_BUFFER_SIZE 1536

// Opens the first device matching the texts; *handle receives the handle.
// Returns 0 or one of the codes of qxm/qxm_errors.h.
int QXM_Open(const char* deviceType, const char* connectionType, const char* identifier,
             int* handle);

// Sends the request held in buffer (its length in bytes 4-5) and writes the
// reply into the same buffer. *errorAddress receives the detail of a device
// exception (0 otherwise).
int QXM_MBFBComm(int handle, int unitId, unsigned char* buffer, int* errorAddress);

int QXM_Close(int handle);

// The text for one of the library's codes.
const char* QXM_ErrorToString(int code);

#ifdef __cplusplus
}
#endif
