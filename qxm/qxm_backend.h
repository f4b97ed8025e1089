// What sits behind a handle: the TCP transport, or an in-process device that a
// test registers. The library owns the backend for as long as the handle is open.
#pragma once

#include <memory>

class QxmBackend {
 public:
  virtual ~QxmBackend() = default;
  // Carries the request in buffer (QXM_BUFFER_SIZE bytes, length in bytes 4-5)
  // and leaves the reply in the same buffer. Returns 0 or a QxmError code.
  virtual int Exchange(unsigned char* buffer, int* errorAddress) = 0;
};

// Puts a backend behind a new handle; returns 0 and the handle, or a code.
int QxmRegisterBackend(std::unique_ptr<QxmBackend> backend, int* handle);

// Decides which backend QXM_Open creates for its texts. The default opens the
// Modbus TCP transport; a test may install its own (nullptr restores it).
using QxmOpenHook = int (*)(const char* deviceType, const char* connectionType,
                            const char* identifier, std::unique_ptr<QxmBackend>* out);
void QxmSetOpenHook(QxmOpenHook hook);

// How long the TCP transport waits for a complete reply (default 3000 ms).
void QxmSetReplyTimeoutMs(unsigned timeoutMs);
unsigned QxmReplyTimeoutMs();
