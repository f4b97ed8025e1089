#include "platform/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/status.h"

namespace platform {

namespace {

void SetOsError(int* osError, int code) {
  if (osError != nullptr) *osError = code;
}

}  // namespace

int OpenRegularFile(const char* path, std::FILE** file, int* osError) {
  SetOsError(osError, 0);
  if (path == nullptr || file == nullptr) return kBadArgument;
  *file = nullptr;
  // O_NONBLOCK so that a FIFO without a writer does not hold the open; the
  // type is then checked on what was opened, not on the name.
  int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    int code = errno;
    SetOsError(osError, code);
    return code == ENOENT || code == ENOTDIR ? kNotFound : kIoError;
  }
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return kNotRegular;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  *file = ::fdopen(fd, "rb");
  if (*file == nullptr) {
    SetOsError(osError, errno);
    ::close(fd);
    return kIoError;
  }
  return kOk;
}

int MakeDirectory(const char* path, int* osError) {
  SetOsError(osError, 0);
  if (path == nullptr || *path == '\0') return kBadArgument;
  if (::mkdir(path, 0755) == 0) return kOk;
  int code = errno;
  struct stat info;
  if (code == EEXIST && ::stat(path, &info) == 0) return S_ISDIR(info.st_mode) ? kOk : kNotRegular;
  SetOsError(osError, code);
  return kIoError;
}

int CreateExclusively(const char* path, int* osError) {
  SetOsError(osError, 0);
  if (path == nullptr || *path == '\0') return kBadArgument;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    int code = errno;
    SetOsError(osError, code);
    return code == EEXIST ? kRefused : kIoError;
  }
  ::close(fd);
  return kOk;
}

int RemoveFile(const char* path) {
  if (path == nullptr) return kBadArgument;
  if (::unlink(path) == 0) return kOk;
  return errno == ENOENT ? kNotFound : kIoError;
}

}  // namespace platform
