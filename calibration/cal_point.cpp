#include "calibration/cal_point.h"

#include <cstdio>
#include <cstdlib>

namespace {

struct CalPoint {
  uint32_t meterRange;
  uint16_t deviceRange;
  double span;
};

// The 0.01 V range shares the meter's 0.1 V scale.
constexpr CalPoint kCalPoints[kCalRangeCount] = {
    {0, 0, 20.6},
    {1, 1, 2.06},
    {2, 2, 0.206},
    {2, 3, 0.0206},
};

}  // namespace

int32_t GetCALPoint(uint32_t range, uint32_t* meterRange, uint16_t* deviceRange, double* span) {
  if (range >= kCalRangeCount) {
    std::fputs("From GetCALPoint: invalid range", stdout);
    std::fflush(stdout);
    std::exit(1);
  }
  const CalPoint& point = kCalPoints[range];
  if (meterRange != nullptr) *meterRange = point.meterRange;
  if (deviceRange != nullptr) *deviceRange = point.deviceRange;
  if (span != nullptr) *span = point.span;
  return 0;
}
