// What each operating system's part of the platform layer supplies to the
// shared platform sources. Not for the station: it uses the public headers.
#pragma once

#include <cstddef>

namespace platform {
namespace os {

// The socket library's own start-up (with its version check) and release.
int SocketsStartup();
void SocketsCleanup();
// The device path behind COMn (1..8) when no setting names another.
void DefaultComPath(int number, char* path, size_t capacity);
// Sets (value non-null) or removes an environment variable.
void SetEnvironment(const char* name, const char* value);
// Routes the system's stop requests to RequestStop (catch true) or gives
// them back to its default handling.
void CatchStopSignals(bool catchThem);
// Writes text to standard error from a signal handler or the console's
// control thread: no locks, no allocation.
void WriteStopNotice(const char* text, size_t length);

}  // namespace os
}  // namespace platform
