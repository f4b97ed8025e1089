#include "platform/file_system.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/status.h"

namespace platform {

namespace {

void SetOsError(int* osError, DWORD code) {
  if (osError != nullptr) *osError = static_cast<int>(code);
}

bool IsMissing(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

}  // namespace

int OpenRegularFile(const char* path, std::FILE** file, int* osError) {
  SetOsError(osError, 0);
  if (path == nullptr || file == nullptr) return kBadArgument;
  *file = nullptr;
  // FILE_FLAG_BACKUP_SEMANTICS lets a directory open too, so that it is
  // refused below as not regular rather than as an access failure.
  HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    SetOsError(osError, code);
    return IsMissing(code) ? kNotFound : kIoError;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(handle);
    return kNotRegular;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    SetOsError(osError, GetLastError());
    CloseHandle(handle);
    return kIoError;
  }
  *file = _fdopen(fd, "rb");
  if (*file == nullptr) {
    _close(fd);  // closes the handle too
    return kIoError;
  }
  return kOk;
}

int MakeDirectory(const char* path, int* osError) {
  SetOsError(osError, 0);
  if (path == nullptr || *path == '\0') return kBadArgument;
  if (CreateDirectoryA(path, nullptr)) return kOk;
  DWORD code = GetLastError();
  if (code == ERROR_ALREADY_EXISTS) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? kOk : kNotRegular;
    }
  }
  SetOsError(osError, code);
  return kIoError;
}

int CreateExclusively(const char* path, int* osError) {
  SetOsError(osError, 0);
  if (path == nullptr || *path == '\0') return kBadArgument;
  HANDLE handle =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    SetOsError(osError, code);
    return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS ? kRefused : kIoError;
  }
  CloseHandle(handle);
  return kOk;
}

int RemoveFile(const char* path) {
  if (path == nullptr) return kBadArgument;
  if (DeleteFileA(path)) return kOk;
  return IsMissing(GetLastError()) ? kNotFound : kIoError;
}

}  // namespace platform
