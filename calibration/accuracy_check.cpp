// AccuracyCheck: the calibrated readings of every range against the meter.
#include <cmath>
#include <cstring>

#include "base/text.h"
#include "calibration/cal_point.h"
#include "calibration/calibration_tests.h"
#include "calibration/range_cal.h"
#include "device/register_addresses.h"
#include "device/registers.h"
#include "harness/measure.h"
#include "harness/messages.h"
#include "instruments/meter.h"

namespace {

// Largest accepted error per range, in percent of the span.
constexpr float kAccuracyLimits[kCalRangeCount] = {0.01f, 0.01f, 0.02f, 0.1f};

struct AccuracyRange {
  int32_t attenuate;
  float volts[kRangeCalPoints];
};

// Near both ends and at a third of full scale, each way, and zero.
constexpr AccuracyRange kAccuracyRanges[kCalRangeCount] = {
    {0, {7.51f, 7.5f, 7.49f, 0.0f, -7.49f, -7.5f, -7.51f}},
    {0, {0.751f, 0.75f, 0.249f, 0.0f, -0.249f, -0.75f, -0.751f}},
    {1, {1.65f, 1.64f, 0.548f, 0.0f, -0.548f, -1.64f, -1.65f}},
    {1, {0.16522f, 0.165f, 0.0548f, 0.0f, -0.0548f, -0.165f, -0.16522f}},
};

uint32_t FailRange(TestContext* context, const char* converter, uint32_t range, float error) {
  TextFormat(context->Msg, sizeof context->Msg, "Acc Err: %s %i %0.03f", converter,
             static_cast<int>(range), static_cast<double>(error));
  context->EL = kLevelFatal;
  return 0;
}

}  // namespace

uint32_t AccuracyCheck(TestContext* context) {
  context->EL = kLevelPassed;
  Meter meter(kMeterPortIndex, 0);
  MeterCloser closer(meter);
  meter.Open();
  int32_t code = WriteU16(context->handle, kRegAnalogSetup, 1);
  if (code != 0) return FailComm(context, code);

  RangeCalRecord rec;
  std::memset(&rec, 0, sizeof rec);
  rec.meterSamples = 2;
  rec.hsSamples = 16;
  rec.hrSamples = 1;
  // Without the HR converter its figures stay 0 and are never judged.
  float hs[kCalRangeCount] = {};
  float hr[kCalRangeCount] = {};
  for (uint32_t r = 0; r < kCalRangeCount; ++r) {
    rec.range = static_cast<int32_t>(r);
    rec.attenuate = kAccuracyRanges[r].attenuate;
    std::memcpy(rec.sourceVolts, kAccuracyRanges[r].volts, sizeof rec.sourceVolts);
    rec.useHighRes = 0;
    code = MeasureRangeAccuracy(meter, context->handle, rec);
    if (code != 0) return FailComm(context, code);
    hs[r] = rec.maxError * 100.0f;
    if (context->isMax != 0) {
      rec.useHighRes = 1;
      code = MeasureRangeAccuracy(meter, context->handle, rec);
      if (code != 0) return FailComm(context, code);
      hr[r] = rec.maxError * 100.0f;
      rec.useHighRes = 0;
    }
  }
  const bool meterFailed = !meter.IsOpen() || meter.TimedOutReads() > 0 ||
                           meter.LastReadResult() == MeterReadResult::kGarbled;
  meter.Close();
  JudgeAccuracy(context, hs, hr);
  if (context->EL != kLevelPassed && meterFailed) SetFailureSource(context, kSourceInstrument);
  return 0;
}

uint32_t JudgeAccuracy(TestContext* context, const float* hs, const float* hr) {
  for (uint32_t r = 0; r < kCalRangeCount; ++r) {
    const double limit = kAccuracyLimits[r];
    char name[kPieceCapacity];
    TextFormat(name, sizeof name, "Accuracy HS range %u", r);
    Measure(context, name, hs[r], "%", kNoLimit, limit);
    if (context->isMax == 0) continue;
    TextFormat(name, sizeof name, "Accuracy HR range %u", r);
    Measure(context, name, hr[r], "%", kNoLimit, limit);
  }
  // Written so that a range without readings (NaN) fails too.
  for (uint32_t r = 0; r < kCalRangeCount; ++r) {
    if (!(hs[r] <= kAccuracyLimits[r])) return FailRange(context, "HS", r, hs[r]);
    if (context->isMax != 0 && !(hr[r] <= kAccuracyLimits[r])) {
      return FailRange(context, "HR", r, hr[r]);
    }
  }
  context->EL = kLevelPassed;
  TextFormat(context->Msg, sizeof context->Msg, "%0.03f,%0.03f,%0.03f,%0.03f,%0.03f,%0.03f",
             static_cast<double>(hs[0]), static_cast<double>(hs[1]), static_cast<double>(hs[2]),
             static_cast<double>(hs[3]), static_cast<double>(hr[0]), static_cast<double>(hr[3]));
  return 0;
}

void AppendAccuracyLimits(std::string* text) {
  for (float limit : kAccuracyLimits) AppendLimit(text, "accuracy.Limit", limit);
}
