// qxstation's command line: its options declared once, the usage text made
// from the station's own lists (named stations, mask bits, added tests), and
// the checks that only the whole command line can make.
#pragma once

#include <cstdint>
#include <string>

#include "base/cli.h"
#include "harness/context.h"
#include "station/station_table.h"
#include "station/stations.h"

struct StationOptions {
  const NamedStation* station = nullptr;
  uint32_t mask = 0;
  bool haveMask = false;
  uint32_t deviceType = kZ5DeviceType;
  bool quiet = false;
  bool list = false;
  bool force = false;
  std::string recordDir;  // empty: no record
  std::string junitFile;  // empty: no JUnit file
  const ExtraTest* added[kMaxTests] = {};
  uint32_t addedCount = 0;
};

// Declares qxstation's options into table, each setting its part of *options.
void AddStationOptions(cli::OptionTable* table, StationOptions* options);
// The whole --help text around the table's lines.
std::string StationUsage(const cli::OptionTable& table);
// Parses the command line; -1 to go on (options complete, the mask set),
// else the exit status (a usage problem named on standard error).
int ParseStationOptions(int argc, char** argv, StationOptions* options);
