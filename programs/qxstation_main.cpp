// qxstation: the station front end. Builds the test harness for a named
// station or a mask, runs it, shows the report and, when asked, leaves a
// record of the run.
#include "station/station_options.h"
#include "station/station_run.h"

int main(int argc, char** argv) {
  static StationOptions options;
  int status = ParseStationOptions(argc, argv, &options);
  return status >= 0 ? status : RunStation(options);
}
