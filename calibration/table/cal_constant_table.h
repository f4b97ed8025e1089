// The 41 analog calibration constants of the Z5: names, nominal values and
// tolerances, and the window the acceptance rule gives each. Plain data, on
// a floor of its own, so that what reads records (the line tool) takes the
// station's own table instead of a copy.
#pragma once

#include <cstddef>

#include "base/text.h"

constexpr size_t kCalConstantCount = 41;
// HS constant of range r and kind k: 4r + k; HR: kCalHrFirst + 4r + k.
constexpr size_t kCalHrFirst = 16;
constexpr size_t kCalHrEnd = 32;
constexpr size_t kCalDac0Slope = 32;
constexpr size_t kCalDac0Offset = 33;
constexpr size_t kCalDac1Slope = 34;
constexpr size_t kCalDac1Offset = 35;
constexpr size_t kCalTempSlope = 36;
constexpr size_t kCalTempOffset = 37;
constexpr size_t kCalSource10uA = 38;
constexpr size_t kCalSource200uA = 39;
constexpr size_t kCalBiasCurrent = 40;

struct CalConstantDef {
  char name[kTextCapacity];
  double nominal;
  double tolerance;  // largest accepted ConstantDeviation
};

// In record order.
extern const CalConstantDef CalConstantTable[kCalConstantCount];

// The window of ConstantAccepted for constant index: *low..*high.
void ConstantWindow(size_t index, double* low, double* high);
