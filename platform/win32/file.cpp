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

// Writes (and with sync flushes) the data into an open handle, then closes it.
DWORD WriteAndClose(HANDLE file, const void* data, size_t length, bool sync) {
  bool ok =
      WriteAll(file, static_cast<const char*>(data), length) && (!sync || FlushFileBuffers(file));
  DWORD code = ok ? ERROR_SUCCESS : GetLastError();
  if (!CloseHandle(file) && ok) code = GetLastError();
  return code;
}

// The folder part of path ("." when it has none).
std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos)
    return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : ".";
  // "C:\x" keeps the drive's root, "\x" the current drive's.
  if (slash == 0 || (slash == 2 && path[1] == ':')) return path.substr(0, slash + 1);
  return path.substr(0, slash);
}

}  // namespace

bool FileExists(const char* path) {
  return path != nullptr && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

int WriteFileAtomically(const char* path, const void* data, size_t length, int* osError,
                        bool sync) {
  if (path == nullptr || path[0] == '\0' || (data == nullptr && length > 0)) return kBadArgument;
  std::string temp = std::string(path) + ".tmp." + std::to_string(GetCurrentProcessId());
  HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Fail(osError, GetLastError());
  DWORD code = WriteAndClose(file, data, length, sync);
  DWORD flags = MOVEFILE_REPLACE_EXISTING | (sync ? MOVEFILE_WRITE_THROUGH : 0);
  if (code == ERROR_SUCCESS && !MoveFileExA(temp.c_str(), path, flags)) {
    code = GetLastError();
  }
  if (code != ERROR_SUCCESS) {
    DeleteFileA(temp.c_str());
    return Fail(osError, code);
  }
  return kOk;
}

int CheckFolderTakesFiles(const char* dir, int* osError) {
  if (osError != nullptr) *osError = 0;
  if (dir == nullptr || dir[0] == '\0') return kBadArgument;
  DWORD attributes = GetFileAttributesA(dir);
  if (attributes == INVALID_FILE_ATTRIBUTES) return Fail(osError, GetLastError());
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return kNotRegular;
  // Only making a file shows it: access lists and read-only media show in
  // no attribute.
  std::string probe = std::string(dir) + "\\.write-check." + std::to_string(GetCurrentProcessId());
  HANDLE file = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Fail(osError, GetLastError());
  CloseHandle(file);
  return kOk;
}

int CheckFileTakesWrite(const char* path, int* osError) {
  if (osError != nullptr) *osError = 0;
  if (path == nullptr || path[0] == '\0') return kBadArgument;
  DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return kNotRegular;
  }
  return CheckFolderTakesFiles(DirectoryOf(path).c_str(), osError);
}

int AppendToFile(const char* path, const void* data, size_t length, int* osError, bool sync) {
  if (path == nullptr || path[0] == '\0' || (data == nullptr && length > 0)) return kBadArgument;
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Fail(osError, GetLastError());
  DWORD code = WriteAndClose(file, data, length, sync);
  return code == ERROR_SUCCESS ? kOk : Fail(osError, code);
}

int FileLock::Acquire(const char* path, int* osError) {
  Release();
  if (path == nullptr || path[0] == '\0') return kBadArgument;
  // Opened without sharing: a second open fails until this handle closes,
  // which the system does for a process however it ends.
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    if (osError != nullptr) *osError = static_cast<int>(code);
    return code == ERROR_SHARING_VIOLATION ? kInUse : Fail(osError, code);
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  return kOk;
}

void FileLock::Release() {
  if (handle_ < 0) return;
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

}  // namespace platform
