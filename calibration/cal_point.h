// The four calibrated ranges of the analog inputs: for each, the bench
// meter's range, the device's range index and the range's span.
#pragma once

#include <cstdint>

constexpr uint32_t kCalRangeCount = 4;

// Fills the three outputs for range 0..3 and returns 0. Any other range is a
// programming error: prints "From GetCALPoint: invalid range" and ends the
// process with status 1.
int32_t GetCALPoint(uint32_t range, uint32_t* meterRange, uint16_t* deviceRange, double* span);
