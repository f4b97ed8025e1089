#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/status.h"

namespace platform {

namespace {

int Fail(int* osError) {
  if (osError != nullptr) *osError = errno;
  return errno == ENOENT ? kNotFound : kIoError;
}

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

bool FileExists(const char* path) {
  struct stat st {};
  return path != nullptr && ::lstat(path, &st) == 0;
}

int WriteFileAtomically(const char* path, const void* data, size_t length, int* osError,
                        bool sync) {
  if (path == nullptr || path[0] == '\0' || (data == nullptr && length > 0)) return kBadArgument;
  std::string temp = std::string(path) + ".tmp." + std::to_string(::getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(osError);
  bool ok = WriteAll(fd, static_cast<const char*>(data), length) && (!sync || ::fsync(fd) == 0);
  int err = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(temp.c_str(), path) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    errno = err;
    return Fail(osError);
  }
  if (!sync) return kOk;
  // The rename itself must reach the disk too.
  int dirFd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return kOk;
}

int CheckFolderTakesFiles(const char* dir, int* osError) {
  if (osError != nullptr) *osError = 0;
  if (dir == nullptr || dir[0] == '\0') return kBadArgument;
  struct stat st {};
  if (::stat(dir, &st) != 0) return Fail(osError);
  if (!S_ISDIR(st.st_mode)) return kNotRegular;
  // Only making a file shows it: the mode bits do not bind root, and a
  // read-only mount or a full inode table shows in no mode at all.
  std::string probe = std::string(dir) + "/.write-check." + std::to_string(::getpid());
  int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(osError);
  ::close(fd);
  ::unlink(probe.c_str());
  return kOk;
}

int CheckFileTakesWrite(const char* path, int* osError) {
  if (osError != nullptr) *osError = 0;
  if (path == nullptr || path[0] == '\0') return kBadArgument;
  struct stat st {};
  if (::stat(path, &st) == 0 && !S_ISREG(st.st_mode)) return kNotRegular;
  return CheckFolderTakesFiles(DirectoryOf(path).c_str(), osError);
}

int AppendToFile(const char* path, const void* data, size_t length, int* osError, bool sync) {
  if (path == nullptr || path[0] == '\0' || (data == nullptr && length > 0)) return kBadArgument;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(osError);
  bool ok = WriteAll(fd, static_cast<const char*>(data), length) && (!sync || ::fsync(fd) == 0);
  int err = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    errno = err;
    return Fail(osError);
  }
  return kOk;
}

int FileLock::Acquire(const char* path, int* osError) {
  Release();
  if (path == nullptr || path[0] == '\0') return kBadArgument;
  int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(osError);
  // flock, not fcntl: its claim belongs to the open file, so a second
  // claim from the same process is refused too.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    ::close(fd);
    if (osError != nullptr) *osError = err;
    return err == EWOULDBLOCK ? kInUse : kIoError;
  }
  handle_ = fd;
  return kOk;
}

void FileLock::Release() {
  if (handle_ < 0) return;
  ::close(static_cast<int>(handle_));
  handle_ = -1;
}

}  // namespace platform
