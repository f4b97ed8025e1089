// qxline watch: follows a folder and stores each record that appears in it
// (stations rename a record into place, so it is whole when it appears).
#pragma once

#include <cstdio>
#include <string>

namespace line {

struct WatchTiming {
  int pollMs = 200;    // between looks at the folder
  int retryMs = 1000;  // between attempts to reach the database
};

// Runs until a stop request (SIGINT, SIGTERM), which BlockStopRequests must
// have held back. Returns the exit status: 0, or 1 when anything was refused.
int RunWatch(const std::string& url, const std::string& dir, std::FILE* out, std::FILE* err,
             const WatchTiming& timing = WatchTiming());

}  // namespace line
