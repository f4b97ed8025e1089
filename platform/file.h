// Files written for others: whole and atomically (a crash leaves the old
// file or the new one, never half of either), or appended and synced.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// True when something (a file, a directory, a link) is at path.
bool FileExists(const char* path);
// Writes a temporary file beside path, syncs it, renames it over path and
// syncs the directory. *osError (optional) gets the system's code on failure.
// Without sync the file still outlives the process that wrote it (killed or
// not), though not a crash of the machine; it costs no disk wait.
int WriteFileAtomically(const char* path, const void* data, size_t length, int* osError = nullptr,
                        bool sync = true);
// Whether a file can be made in the folder dir, found by making one (under a
// name of this process's own) and removing it at once: kOk, kNotFound when
// there is no such folder, kNotRegular when dir is no folder, else kIoError
// with the system's reason in *osError (optional).
int CheckFolderTakesFiles(const char* dir, int* osError = nullptr);
// Whether WriteFileAtomically can write path: nothing or a regular file is
// there (else kNotRegular: a folder, a device) and its folder takes files
// (kNotFound when that folder is missing).
int CheckFileTakesWrite(const char* path, int* osError = nullptr);
// Appends and syncs before it returns (without sync: see WriteFileAtomically).
int AppendToFile(const char* path, const void* data, size_t length, int* osError = nullptr,
                 bool sync = true);

// An exclusive claim on a lock file, so that two processes (or two objects
// in one) never share what it guards. The claim ends with Release, the
// object, or the process, however it ends.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Release(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  // Creates path if needed and claims it without waiting: kInUse when
  // someone else holds it.
  int Acquire(const char* path, int* osError = nullptr);
  void Release();
  bool held() const { return handle_ >= 0; }

 private:
  intptr_t handle_ = -1;
};

}  // namespace platform
