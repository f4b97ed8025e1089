// Paths as the station meets them: a file to read that may turn out to be a
// FIFO or a device, and a directory to write records into.
#pragma once

#include <cstdio>

namespace platform {

// Opens path for reading when it names a regular file. A directory, FIFO or
// device is refused at once with kNotRegular (opening a FIFO would wait for a
// writer). Returns kOk with *file open, kNotFound, kNotRegular or kIoError;
// *osError (when given) keeps the OS code.
int OpenRegularFile(const char* path, std::FILE** file, int* osError = nullptr);

// Creates the directory unless it exists already. Returns kOk, kNotRegular
// when path exists and is not a directory, or kIoError.
int MakeDirectory(const char* path, int* osError = nullptr);

// Creates an empty file at path, only when nothing is there yet: the one
// caller that gets kOk owns the name; kRefused when something is there.
int CreateExclusively(const char* path, int* osError = nullptr);
// Removes the file at path; kOk, kNotFound or kIoError.
int RemoveFile(const char* path);

}  // namespace platform
