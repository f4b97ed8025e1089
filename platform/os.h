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

}  // namespace os
}  // namespace platform
