// Mean and peak-to-peak spread of a batch of readings.
#pragma once

#include <cstdint>

// Returns the mean of values[0..n) and stores max - min in *peakToPeak. Raw
// readings (u32) are widened as unsigned numbers, so the spread is never
// negative. n < 1 (or a null argument) gives NaN and a spread of 0.
double MeanPeakToPeak(const double* values, int32_t n, double* peakToPeak);
double MeanPeakToPeak(const uint32_t* values, int32_t n, double* peakToPeak);
double MeanPeakToPeak(const float* values, int32_t n, double* peakToPeak);
