// The operator's check of the bench meter, as qxmeter runs it: opens the
// meter, shows its identification and one set of DC-voltage readings on
// standard output.
#pragma once

#include "instruments/meter.h"

struct MeterCheckOptions {
  int portIndex = kMeterPortIndex;
  int range = 0;
  int samples = 8;
};

// 0 when readings were shown, 1 when no meter answered or it gave no reading.
int CheckBenchMeter(const MeterCheckOptions& options);
