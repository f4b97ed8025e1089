// A pseudo-terminal for instruments that the bench simulates: the bench
// holds the master side, a station opens the terminal's device path (or a
// link to it) as a serial port. The terminal's own side is held open too, so
// that the line stays up between station runs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

class PseudoTerminal {
 public:
  PseudoTerminal() = default;
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // Creates the terminal in raw mode at 9600 baud, two stop bits.
  int Open();
  // Makes path a symbolic link to the terminal. An existing symbolic link
  // there is replaced; any other file is kBadArgument and stays.
  int Link(const char* path);
  // Closes both sides and removes the link, unless someone re-pointed it.
  void Close();
  bool IsOpen() const { return master_ >= 0; }

  // The terminal's device path ("" when closed).
  const char* devicePath() const { return devicePath_; }
  // The link if one was made, else the device path.
  const char* path() const { return linkPath_[0] != '\0' ? linkPath_ : devicePath_; }

  // Waits at most timeoutMs for bytes from the station, then takes what is
  // there; kTimeout when none came.
  int Read(void* buffer, size_t capacity, size_t* received, uint32_t timeoutMs);
  // Writes what the terminal takes within timeoutMs; *written says how much.
  int Write(const void* data, size_t length, size_t* written, uint32_t timeoutMs);
  int LastOsError() const { return lastOsError_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  int lastOsError_ = 0;
  char devicePath_[128] = {};
  char linkPath_[512] = {};
};

}  // namespace platform
