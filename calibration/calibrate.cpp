// "Calibrate": measures the 41 constants, judges them and writes the record.
#include <cstring>

#include "base/text.h"
#include "calibration/cal_constants.h"
#include "calibration/cal_point.h"
#include "calibration/calibration_tests.h"
#include "calibration/mean_peak_to_peak.h"
#include "calibration/range_cal.h"
#include "device/flash.h"
#include "device/flash_map.h"
#include "device/register_addresses.h"
#include "device/registers.h"
#include "harness/measure.h"
#include "harness/messages.h"
#include "instruments/meter.h"

namespace {

constexpr int kReferenceChannel = 15;
constexpr int kCurrentReadings = 128;
constexpr uint32_t kDacLow = 8192;
constexpr uint32_t kDacHigh = 49152;

struct CalRange {
  float volts;
  int32_t attenuate;
};

// The two small ranges are driven beyond their span, through the attenuator.
constexpr CalRange kCalRanges[kCalRangeCount] = {{8.0f, 0}, {0.8f, 0}, {1.76f, 1}, {0.176f, 1}};

// Which constants turn a channel's counts into volts: center and slope (the
// positive slope whatever the sign).
struct Scale {
  size_t center;
  size_t slope;
};
constexpr Scale kScale1V = {6, 4};
constexpr Scale kScale10V = {2, 0};
constexpr Scale kScale10mV = {14, 12};

double Volts(double counts, Scale scale) {
  return (counts - static_cast<double>(CalConstants[scale.center])) *
         static_cast<double>(CalConstants[scale.slope]);
}

// Reads each channel's raw register kCurrentReadings times, the channels in
// turn, and gives each channel's mean in counts.
constexpr int kMaxCurrentChannels = 3;

int32_t MeanCounts(int handle, const int* channels, int count, double* counts) {
  if (count > kMaxCurrentChannels) count = kMaxCurrentChannels;
  uint32_t samples[kMaxCurrentChannels][kCurrentReadings];
  for (int i = 0; i < kCurrentReadings; ++i) {
    for (int c = 0; c < count; ++c) {
      int32_t code = ReadU32(handle, kRegAnalogRaw + 2 * channels[c], &samples[c][i]);
      if (code != 0) return code;
    }
  }
  for (int c = 0; c < count; ++c) {
    double spread = 0.0;
    counts[c] = MeanPeakToPeak(samples[c], kCurrentReadings, &spread) / 256.0;
  }
  return 0;
}

int32_t ConfigureSingleEnded(int handle, const int* channels, int count, int32_t range,
                             int32_t settling) {
  for (int c = 0; c < count; ++c) {
    int32_t code =
        ConfigureChannel(handle, channels[c], range, kResolutionHs, kSingleEnded, settling);
    if (code != 0) return code;
  }
  return 0;
}

// A current source's voltage over its jig resistor, against the reference.
int32_t MeasureSource(int handle, int channel, int32_t range, int32_t settling, Scale scale,
                      double ohms, float* out) {
  const int channels[2] = {channel, kReferenceChannel};
  int32_t code = ConfigureSingleEnded(handle, channels, 2, range, settling);
  double counts[2];
  if (code == 0) code = MeanCounts(handle, channels, 2, counts);
  if (code != 0) return code;
  *out = static_cast<float>((Volts(counts[0], scale) - Volts(counts[1], scale)) / ohms);
  return 0;
}

// The DACs, looped back to channels 0 and 1, at their two codes.
int32_t MeasureDacs(int handle) {
  const int channels[2] = {0, 1};
  int32_t code = ConfigureSingleEnded(handle, channels, 2, 0, 4);
  double counts[2];
  if (code == 0) code = WriteU32(handle, kRegDac0, kDacLow);
  if (code == 0) code = WriteU32(handle, kRegDac1, kDacHigh);
  if (code == 0) code = MeanCounts(handle, channels, 2, counts);
  if (code != 0) return code;
  const double a0 = Volts(counts[0], kScale10V);
  const double b1 = Volts(counts[1], kScale10V);
  code = WriteU32(handle, kRegDac0, kDacHigh);
  if (code == 0) code = WriteU32(handle, kRegDac1, kDacLow);
  if (code == 0) code = MeanCounts(handle, channels, 2, counts);
  if (code != 0) return code;
  const double a1 = Volts(counts[0], kScale10V);
  const double b0 = Volts(counts[1], kScale10V);
  FitDac(a0, a1, &CalConstants[kCalDac0Slope], &CalConstants[kCalDac0Offset]);
  FitDac(b0, b1, &CalConstants[kCalDac1Slope], &CalConstants[kCalDac1Offset]);
  return 0;
}

// The input bias current through the jig's resistor on channel 4, corrected
// by the zero input and the reference.
int32_t MeasureBias(int handle, double ohms) {
  const int channels[3] = {4, 2, kReferenceChannel};
  int32_t code = ConfigureSingleEnded(handle, channels, 3, 3, 4);
  double counts[3];
  if (code == 0) code = MeanCounts(handle, channels, 3, counts);
  if (code != 0) return code;
  const double v4 = Volts(counts[0], kScale10mV);
  const double v2 = Volts(counts[1], kScale10mV);
  const double v15 = Volts(counts[2], kScale10mV);
  CalConstants[kCalBiasCurrent] = static_cast<float>((v4 - (v2 - v15)) / ohms);
  return 0;
}

// Every input range against the meter, into the range constants (the HR
// block too on the "-Max" edition); the meter is closed on every way out.
// *meterFailed: the constants were made of missing or garbled readings, which
// fail below as the meter's fault.
int32_t MeasureRanges(int handle, bool hasHighRes, bool* meterFailed) {
  Meter meter(kMeterPortIndex, 0);
  MeterCloser closer(meter);
  meter.Open();
  RangeCalRecord rec;
  std::memset(&rec, 0, sizeof rec);
  rec.useHighRes = hasHighRes ? 1 : 0;
  rec.value41500 = kSettlingUsual;
  rec.meterSamples = 8;
  rec.hsSamples = 256;
  rec.hrSamples = 16;
  for (uint32_t r = 0; r < kCalRangeCount; ++r) {
    rec.range = static_cast<int32_t>(r);
    rec.attenuate = kCalRanges[r].attenuate;
    rec.sourceVolts[0] = kCalRanges[r].volts;
    rec.sourceVolts[1] = -kCalRanges[r].volts;
    int32_t code = MeasureRangeCal(meter, handle, rec);
    if (code != 0) return code;
    const double results[8] = {rec.hsPosSlope, rec.hsNegSlope, rec.hsCenter, rec.hsOffset,
                               rec.hrPosSlope, rec.hrNegSlope, rec.hrCenter, rec.hrOffset};
    for (size_t k = 0; k < 4; ++k) {
      CalConstants[4 * r + k] = static_cast<float>(results[k]);
      CalConstants[kCalHrFirst + 4 * r + k] = static_cast<float>(results[4 + k]);
    }
  }
  *meterFailed = !meter.IsOpen() || meter.TimedOutReads() > 0 ||
                 meter.LastReadResult() == MeterReadResult::kGarbled;
  meter.Close();
  return 0;
}

}  // namespace

void FitDac(double atLow, double atHigh, float* slope, float* offset) {
  *slope = static_cast<float>((kDacHigh - kDacLow) / (atHigh - atLow));
  *offset = static_cast<float>(kDacLow - static_cast<double>(*slope) * atLow);
}

void FormatCalFailure(size_t index, float value, char* out, size_t cap) {
  char piece[kPieceCapacity];
  TextCopy(out, cap, "Cal Failed: ");
  TextAppend(out, cap, CalConstantTable[index].name);
  TextFormat(piece, sizeof piece, "%.06e, ", static_cast<double>(value));
  TextAppend(out, cap, piece);
  TextFormat(piece, sizeof piece, "%.06e, ", CalConstantTable[index].nominal);
  TextAppend(out, cap, piece);
}

uint32_t Calibrate(TestContext* context) {
  context->EL = kLevelPassed;
  const int handle = context->handle;
  const bool hasHighRes = context->isMax != 0;
  bool meterFailed = false;
  int32_t code = MeasureRanges(handle, hasHighRes, &meterFailed);
  if (code != 0) return FailComm(context, code);

  code = MeasureSource(handle, 10, 1, 6, kScale1V, context->jigValues[kJigResistor10uA],
                       &CalConstants[kCalSource10uA]);
  if (code == 0) {
    code = MeasureSource(handle, 11, 0, 4, kScale10V, context->jigValues[kJigResistor200uA],
                         &CalConstants[kCalSource200uA]);
  }
  if (code == 0) code = MeasureDacs(handle);
  if (code == 0) code = MeasureBias(handle, context->jigValues[kJigBiasOhms]);
  if (code != 0) return FailComm(context, code);
  CalConstants[kCalTempSlope] = static_cast<float>(CalConstantTable[kCalTempSlope].nominal);
  CalConstants[kCalTempOffset] = static_cast<float>(CalConstantTable[kCalTempOffset].nominal);

  MeasureConstants(context, CalConstants, hasHighRes, "");
  const int failed = FirstFailingConstant(CalConstants, hasHighRes);
  if (failed >= 0) {
    if (meterFailed) SetFailureSource(context, kSourceInstrument);
    FormatCalFailure(static_cast<size_t>(failed), CalConstants[failed], context->Msg,
                     sizeof context->Msg);
    context->EL = kLevelFatal;
    return 1;
  }
  float stored[kCalConstantCount];
  std::memcpy(stored, CalConstants, sizeof stored);
  // A device without the HR converter keeps that block as zero bytes.
  if (!hasHighRes) {
    for (size_t i = kCalHrFirst; i < kCalHrEnd; ++i) stored[i] = 0.0f;
  }
  uint8_t record[kCalRecordBytes];
  EncodeCalibrationRecord(stored, record);
  code =
      WriteFlashBytes(handle, kCalibrationPageKey, kCalibrationPageBase, kCalRecordBytes, record);
  if (code != 0) return FailComm(context, code);
  return Finish(context, kLevelPassed, "Cal Constants Written");
}
