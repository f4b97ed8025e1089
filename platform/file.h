// Files written for others: whole and atomically (a crash leaves the old
// file or the new one, never half of either), or appended and synced.
#pragma once

#include <cstddef>

namespace platform {

// True when something (a file, a directory, a link) is at path.
bool FileExists(const char* path);
// Writes a temporary file beside path, syncs it, renames it over path and
// syncs the directory. *osError (optional) gets the system's code on failure.
int WriteFileAtomically(const char* path, const void* data, size_t length, int* osError = nullptr);
// Appends and syncs before it returns.
int AppendToFile(const char* path, const void* data, size_t length, int* osError = nullptr);

}  // namespace platform
