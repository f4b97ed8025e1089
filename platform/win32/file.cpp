// Whole files written through a temporary beside the target and renamed over
// it with write-through, so the target is the old file or the new one.
#include "platform/file.h"

#include <windows.h>

#include <string>

#include "platform/status.h"

namespace platform {

namespace {

int Fail(int* osError, DWORD code) {
  if (osError != nullptr) *osError = static_cast<int>(code);
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? kNotFound : kIoError;
}

bool WriteAll(HANDLE file, const char* data, size_t length) {
  while (length > 0) {
    DWORD piece = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!WriteFile(file, data, piece, &written, nullptr) || written == 0) return false;
    data += written;
    length -= written;
  }
  return true;
}

// Writes and flushes the data into an open handle, then closes it.
DWORD WriteAndClose(HANDLE file, const void* data, size_t length) {
  bool ok = WriteAll(file, static_cast<const char*>(data), length) && FlushFileBuffers(file);
  DWORD code = ok ? ERROR_SUCCESS : GetLastError();
  if (!CloseHandle(file) && ok) code = GetLastError();
  return code;
}

}  // namespace

bool FileExists(const char* path) {
  return path != nullptr && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

int WriteFileAtomically(const char* path, const void* data, size_t length, int* osError) {
  if (path == nullptr || path[0] == '\0' || (data == nullptr && length > 0)) return kBadArgument;
  std::string temp = std::string(path) + ".tmp." + std::to_string(GetCurrentProcessId());
  HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Fail(osError, GetLastError());
  DWORD code = WriteAndClose(file, data, length);
  if (code == ERROR_SUCCESS &&
      !MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    code = GetLastError();
  }
  if (code != ERROR_SUCCESS) {
    DeleteFileA(temp.c_str());
    return Fail(osError, code);
  }
  return kOk;
}

int AppendToFile(const char* path, const void* data, size_t length, int* osError) {
  if (path == nullptr || path[0] == '\0' || (data == nullptr && length > 0)) return kBadArgument;
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Fail(osError, GetLastError());
  DWORD code = WriteAndClose(file, data, length);
  return code == ERROR_SUCCESS ? kOk : Fail(osError, code);
}

}  // namespace platform
