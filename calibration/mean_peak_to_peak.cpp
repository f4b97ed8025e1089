#include "calibration/mean_peak_to_peak.h"

#include <limits>

namespace {

template <typename T>
double Compute(const T* values, int32_t n, double* peakToPeak) {
  double spread = 0.0;
  double mean = std::numeric_limits<double>::quiet_NaN();
  if (values != nullptr && n >= 1) {
    double max = static_cast<double>(values[0]);
    double min = max;
    double sum = 0.0;
    for (int32_t i = 0; i < n; ++i) {
      const double v = static_cast<double>(values[i]);
      sum += v;
      if (v > max) max = v;
      if (v < min) min = v;
    }
    spread = max - min;
    mean = sum / n;
  }
  if (peakToPeak != nullptr) *peakToPeak = spread;
  return mean;
}

}  // namespace

double MeanPeakToPeak(const double* values, int32_t n, double* peakToPeak) {
  return Compute(values, n, peakToPeak);
}
double MeanPeakToPeak(const uint32_t* values, int32_t n, double* peakToPeak) {
  return Compute(values, n, peakToPeak);
}
double MeanPeakToPeak(const float* values, int32_t n, double* peakToPeak) {
  return Compute(values, n, peakToPeak);
}
