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

#include "base/cli.h"
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

// The production faults' options of the qxsim command line.
void AddProductionFaultOptions(cli::OptionTable* table, ProductionFaults* faults);

}  // namespace qxsim
