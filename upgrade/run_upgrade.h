// The console side of the firmware upgrade: the loop that runs the sequencer
// step by step and prints one progress line per step, and the process entry
// of qxtest around it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "upgrade/upgrade_sequencer.h"

// Index = UpgradeState. A name with a colon marks a counted step, after which
// the loop prints "progress / total".
extern const char* const UpgradeStepNames[kUpgradeStateCount];

// The typed path, terminator included.
constexpr size_t kUpgradePathCapacity = 256;

// Runs the whole upgrade of image 0 of the file at path (which may still end
// in its line feed) on the device behind handle. Returns 0 in every case;
// failures show on the console only, as "Error: %i" after the failing step.
int RunUpgrade(int handle, const char* path);
// The same; *result (when given) is 0 when the upgrade completed, else the
// failing step's code, or kUpgradeInterrupted when a stop request
// (platform/stop_request.h) ended it between steps, after a line saying so
// and how to go on. openCode is what opening the device gave the caller
// (0: opened), named when the device check then fails.
int RunUpgrade(int handle, const char* path, int32_t* result, int32_t openCode = 0);

// The line that says what a failing step's code means, printed before
// "Error: %i"; "" for the file check's refusals, which have their own lines.
void UpgradeFailureLine(int32_t code, int32_t openCode, char* line, size_t capacity);

// Reads the path typed at the prompt into path (capacity bytes, terminator
// included). A line that does not fit is read to its end and refused (false),
// never cut: a cut path could name another file. The line end is taken off,
// and so are quotes around the whole path, as a file manager copies it.
bool ReadTypedPath(char* path, size_t capacity);
// The same on a line already read: quotes and line end taken off in place.
void TrimTypedPath(char* path);

// How qxtest runs: the dialogue by default; with a path, no prompt; with
// noWait, no final key.
struct UpgradeOutcome;
struct QxtestOptions {
  const char* path = nullptr;
  bool noWait = false;
  UpgradeOutcome* outcome = nullptr;  // when given, filled at the end for the record
};

// What an upgrade did, for its record.
struct UpgradeOutcome {
  bool ran = false;     // false: the typed path was refused, nothing was tried
  std::string path;     // the upgrade file as given
  int32_t result = -1;  // 0 completed, the failing step's code, or kUpgradeInterrupted
  int64_t startMs = 0;  // wall milliseconds, UTC
  int64_t endMs = 0;
  UpgradeRun run;  // the sequencer's state at the end (its pointers cleared)
};

// The process entry: opens the first device on USB, asks for the path (unless
// given), runs the upgrade, waits for a key (unless told not to) and places
// the console window. Returns 0 when the upgrade completed, else 1.
int QxtestEntry(const QxtestOptions& options);
int QxtestEntry();
