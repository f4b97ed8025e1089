// Faults of the device's production features, as the qxsim command line and
// the tests give them to the bench:
//   --fault-dio-short A,B        two digital lines joined
//   --fault-dio-stuck-low N      a digital line held low
//   --fault-dio-dead-outputs     output drivers that drive nothing
//   --fault-stream-bad-value     one channel-0 value of the stream out of range
//   --fault-stream-oversize      stream blocks claim more than 100 values
//   --fault-counter N            counter N counts one too many (repeatable)
//   --fault-non-factory          startup settings that are not the factory ones
#pragma once

#include <string>

#include "sim/features/counters.h"
#include "sim/features/dio.h"
#include "sim/features/stream.h"

namespace qxsim {

struct ProductionFaults {
  DioFaults dio;
  StreamFaults stream;
  uint32_t wrongCounters = 0;  // bit k: counter k
  bool nonFactorySettings = false;
};

// Handles the option at argv[i]: the number of arguments used, 0 when it is
// not one of these, -1 with *error for a bad or missing value.
int ParseProductionFaultOption(int argc, char** argv, int i, ProductionFaults* faults,
                               std::string* error);
const char* ProductionFaultUsage();

}  // namespace qxsim
