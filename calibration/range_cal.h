// Measuring one analog input range against the bench meter: the three-point
// calibration of its slopes and center, and the seven-point accuracy check
// of its calibrated readings. The jig's source feeds channel 8/9 and the
// meter in parallel; channel 2/3 is the zero input; line 5 driven low routes
// the source through the jig's attenuator for the two small ranges.
#pragma once

#include <cstdint>

#include "device/registers.h"

class Meter;

constexpr int kRangeCalPoints = 7;
constexpr uint32_t kSourceSettleMs = 500;
constexpr uint32_t kPointPauseMs = 100;

// Settings in, results out; the caller zero-fills it before setting inputs.
struct RangeCalRecord {
  double hsPosSlope;  // volts per count above the center
  double hsNegSlope;  // volts per count below the center (negative)
  double hsCenter;    // counts at zero input
  double hsOffset;    // hsCenter x hsNegSlope, volts
  double hrPosSlope;
  double hrNegSlope;
  double hrCenter;
  double hrOffset;
  int32_t useHighRes;    // cal: also the HR pass; accuracy: HR instead of HS
  int32_t range;         // 0..3, see GetCALPoint
  int32_t meterSamples;  // meter readings per point, half before and half after the device's
  int32_t hsSamples;     // device samples per point (HS); also the sample buffer's size
  int32_t hrSamples;     // device samples per point (HR); at most hsSamples are taken
  int32_t value41500;    // passed to every channel configuration
  float sourceVolts[kRangeCalPoints];
  int32_t attenuate;                  // non-zero: line 5 driven low
  float pointError[kRangeCalPoints];  // |device - meter| / span
  float maxError;                     // largest pointError; NaN when any point was NaN
};

// The four results of one converter's pass over a range.
struct RangeFit {
  double posSlope;
  double negSlope;
  double center;
  double offset;
};

// Slopes from the meter's means at the positive and negative points and the
// counts at those two points and at zero input.
RangeFit FitRange(double meterPositive, double meterNegative, double countsPositive,
                  double countsNegative, double countsZero);

// The error of one point as a fraction of the range's span.
double PointError(double deviceMean, double meterMean, double span);

// Both routines configure the meter themselves; it must be open (a meter that
// is not yields NaN readings without waiting). Readings that a meter time-out
// leaves unwritten are NaN, never stale values. A failed device access ends
// the routine at once with its code; nothing measured so far is stored.
// Returns 0 when every access succeeded.
int32_t MeasureRangeCal(Meter& meter, int handle, RangeCalRecord& rec);
int32_t MeasureRangeAccuracy(Meter& meter, int handle, RangeCalRecord& rec);
