#include "calibration/range_cal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "calibration/cal_point.h"
#include "calibration/mean_peak_to_peak.h"
#include "device/register_addresses.h"
#include "device/registers.h"
#include "instruments/meter.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {

constexpr int kSourceChannel = 8;
constexpr int kSourceNegative = 9;
constexpr int kZeroChannel = 2;
constexpr int kZeroNegative = 3;
constexpr int kAttenuatorLine = 5;
constexpr uint32_t kMeterPollMs = 5;
constexpr double kCountScale = 256.0;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Said once for a meter, at its first reading that times out: every later
// reading of a silent meter waits out the same time, and the operator should
// know which instrument the station is waiting for.
void SaySilentMeter(const Meter& meter) {
  const char* name = meter.PortName();
  const Serial* port = meter.Port();
  const char* path = port != nullptr ? port->Path() : "";
  std::string line = "No reading from the bench meter on ";
  line += name;
  if (path[0] != '\0' && std::strcmp(path, name) != 0) line += std::string(" (") + path + ")";
  line += " within " + std::to_string(kMeterReadTimeoutMs / 1000) + " s\r\n";
  platform::ConsoleWrite(line.data(), line.size());
}

// One half of a point's meter readings into values; left NaN when the meter
// is not there or times out.
void ReadMeter(Meter& meter, double* values, int count) {
  std::fill(values, values + count, kNaN);
  if (!meter.IsOpen() || count < 1) return;
  meter.StartRead();
  bool done = false;
  while (true) {
    meter.GetReadings(values, count, &done);
    if (done) break;
    platform::SleepMs(kMeterPollMs);
  }
  if (meter.LastReadResult() == MeterReadResult::kTimedOut && meter.TimedOutReads() == 1) {
    SaySilentMeter(meter);
  }
}

int32_t ReadRaw(int handle, int channel, uint32_t* samples, int n) {
  for (int i = 0; i < n; ++i) {
    int32_t code = ReadU32(handle, kRegAnalogRaw + 2 * channel, &samples[i]);
    if (code != 0) return code;
  }
  return 0;
}

int32_t ReadVolts(int handle, int channel, float* samples, int n) {
  for (int i = 0; i < n; ++i) {
    int32_t code = ReadFloat(handle, kRegAnalogInput + 2 * channel, &samples[i]);
    if (code != 0) return code;
  }
  return 0;
}

// What both routines do first: analog setup, line 5 and the meter's range.
int32_t Prepare(Meter& meter, int handle, const RangeCalRecord& rec, uint16_t* deviceRange,
                double* span) {
  int32_t code = WriteU16(handle, kRegAnalogSetup, 1);
  uint32_t meterRange = 0;
  GetCALPoint(static_cast<uint32_t>(rec.range), &meterRange, deviceRange, span);
  if (code == 0) code = WriteLinePair(handle, kAttenuatorLine, 1, rec.attenuate != 0 ? 0 : 1);
  if (code != 0) return code;
  meter.Configure(static_cast<int>(meterRange));
  meter.SetNumSamples(rec.meterSamples / 2);
  return 0;
}

int32_t ConfigurePair(int handle, uint16_t deviceRange, int32_t resolution, int32_t value41500) {
  int32_t code = ConfigureChannel(handle, kSourceChannel, deviceRange, resolution, kSourceNegative,
                                  value41500);
  if (code != 0) return code;
  return ConfigureChannel(handle, kZeroChannel, deviceRange, resolution, kZeroNegative, value41500);
}

// Device samples bracketed by the two halves of the meter readings.
template <typename ReadDevice>
int32_t DrivenPoint(Meter& meter, int handle, float volts, std::vector<double>& meterValues,
                    ReadDevice readDevice) {
  int32_t code = WriteFloat(handle, kRegJigSource, volts);
  if (code != 0) return code;
  platform::SleepMs(kSourceSettleMs);
  const int half = static_cast<int>(meterValues.size() / 2);
  ReadMeter(meter, meterValues.data(), half);
  code = readDevice();
  if (code != 0) return code;
  ReadMeter(meter, meterValues.data() + half, half);
  platform::SleepMs(kPointPauseMs);
  return 0;
}

double MeterMean(const std::vector<double>& values) {
  double spread = 0.0;
  return MeanPeakToPeak(values.data(), static_cast<int32_t>(values.size()), &spread);
}

}  // namespace

RangeFit FitRange(double meterPositive, double meterNegative, double countsPositive,
                  double countsNegative, double countsZero) {
  RangeFit fit;
  fit.posSlope = meterPositive / (countsPositive - countsZero);
  fit.negSlope = meterNegative / (countsZero - countsNegative);
  fit.center = countsZero;
  fit.offset = fit.center * fit.negSlope;
  return fit;
}

double PointError(double deviceMean, double meterMean, double span) {
  return std::fabs(deviceMean - meterMean) / span;
}

int32_t MeasureRangeCal(Meter& meter, int handle, RangeCalRecord& rec) {
  uint16_t deviceRange = 0;
  double span = 0.0;
  int32_t code = Prepare(meter, handle, rec, &deviceRange, &span);
  if (code != 0) return code;
  // An odd count's last reading would never be taken.
  std::vector<double> meterValues(static_cast<size_t>(std::max(rec.meterSamples / 2, 0) * 2));
  std::vector<uint32_t> samples(static_cast<size_t>(std::max(rec.hsSamples, 0)));

  const int passes = rec.useHighRes != 0 ? 2 : 1;
  for (int pass = 0; pass < passes; ++pass) {
    const bool hr = pass == 1;
    const int n = std::min(hr ? rec.hrSamples : rec.hsSamples, rec.hsSamples);
    code = ConfigurePair(handle, deviceRange, hr ? kResolutionHr : kResolutionHs, rec.value41500);
    if (code != 0) return code;
    double meterMean[2] = {kNaN, kNaN};
    double counts[3] = {kNaN, kNaN, kNaN};
    double spread = 0.0;
    for (int p = 0; p < 2; ++p) {
      code = DrivenPoint(meter, handle, rec.sourceVolts[p], meterValues,
                         [&] { return ReadRaw(handle, kSourceChannel, samples.data(), n); });
      if (code != 0) return code;
      meterMean[p] = MeterMean(meterValues);
      counts[p] = MeanPeakToPeak(samples.data(), n, &spread) / kCountScale;
    }
    // The zero point: the source keeps the negative voltage, channel 2 is read.
    code = ReadRaw(handle, kZeroChannel, samples.data(), n);
    if (code != 0) return code;
    platform::SleepMs(kPointPauseMs);
    counts[2] = MeanPeakToPeak(samples.data(), n, &spread) / kCountScale;

    const RangeFit fit = FitRange(meterMean[0], meterMean[1], counts[0], counts[1], counts[2]);
    (hr ? rec.hrPosSlope : rec.hsPosSlope) = fit.posSlope;
    (hr ? rec.hrNegSlope : rec.hsNegSlope) = fit.negSlope;
    (hr ? rec.hrCenter : rec.hsCenter) = fit.center;
    (hr ? rec.hrOffset : rec.hsOffset) = fit.offset;
  }
  return 0;
}

int32_t MeasureRangeAccuracy(Meter& meter, int handle, RangeCalRecord& rec) {
  uint16_t deviceRange = 0;
  double span = 0.0;
  int32_t code = Prepare(meter, handle, rec, &deviceRange, &span);
  if (code != 0) return code;
  std::vector<double> meterValues(static_cast<size_t>(std::max(rec.meterSamples / 2, 0) * 2));
  std::vector<float> samples(static_cast<size_t>(std::max(rec.hsSamples, 0)));
  rec.maxError = 0.0f;

  const bool hr = rec.useHighRes != 0;
  const int n = std::min(hr ? rec.hrSamples : rec.hsSamples, rec.hsSamples);
  code = ConfigurePair(handle, deviceRange, hr ? kResolutionHr : kResolutionHs, rec.value41500);
  if (code != 0) return code;
  for (int p = 0; p < kRangeCalPoints; ++p) {
    code = DrivenPoint(meter, handle, rec.sourceVolts[p], meterValues,
                       [&] { return ReadVolts(handle, kSourceChannel, samples.data(), n); });
    if (code != 0) return code;
    double spread = 0.0;
    const double deviceMean = MeanPeakToPeak(samples.data(), n, &spread);
    rec.pointError[p] = static_cast<float>(PointError(deviceMean, MeterMean(meterValues), span));
    // A point without readings must not disappear behind a larger one.
    if (std::isnan(rec.maxError)) continue;
    if (std::isnan(rec.pointError[p]) || rec.pointError[p] > rec.maxError) {
      rec.maxError = rec.pointError[p];
    }
  }
  return 0;
}
