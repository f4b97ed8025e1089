// The virtual device's analog model against the station's calibration
// arithmetic: a device off nominal fails the accuracy limits until it is
// calibrated, its constants stay within tolerance, the record layouts agree,
// and the noise stays well inside the noise test's limits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "calibration/cal_constants.h"
#include "calibration/calibration_tests.h"
#include "calibration/range_cal.h"
#include "sim/features/analog_model.h"
#include "sim/jig.h"

namespace {

using qxsim::AnalogTruth;
using qxsim::CountsFromVolts;
using qxsim::VoltsFromCounts;

constexpr double kSpan[4] = {20.6, 2.06, 0.206, 0.0206};
constexpr double kFullScale[4] = {8.0, 0.8, 0.08, 0.008};
constexpr double kLimitPercent[4] = {0.01, 0.01, 0.02, 0.1};

// What Calibrate computes for one converter range of a noiseless device.
void Calibrate(const AnalogTruth& truth, float* values, int converter) {
  for (int r = 0; r < 4; ++r) {
    const qxsim::ConverterTruth& t = truth.adc[converter][r];
    const RangeFit fit = FitRange(kFullScale[r], -kFullScale[r], CountsFromVolts(t, kFullScale[r]),
                                  CountsFromVolts(t, -kFullScale[r]), CountsFromVolts(t, 0.0));
    float* v = values + 16 * converter + 4 * r;
    v[0] = static_cast<float>(fit.posSlope);
    v[1] = static_cast<float>(fit.negSlope);
    v[2] = static_cast<float>(fit.center);
    v[3] = static_cast<float>(fit.offset);
  }
}

// Largest error over +-94 % of full scale, in percent of the span.
double WorstErrorPercent(const AnalogTruth& truth, const float* values, int converter, int r) {
  double worst = 0;
  for (double fraction : {-0.94, -0.3, 0.0, 0.3, 0.94}) {
    const double volts = fraction * kFullScale[r];
    const double counts = CountsFromVolts(truth.adc[converter][r], volts);
    const double read = VoltsFromCounts(values, converter, r, counts);
    worst = std::fmax(worst, std::fabs(read - volts) / kSpan[r] * 100.0);
  }
  return worst;
}

TEST(AnalogModel, NominalConstantsFailAccuracyAndACalibrationPassesIt) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    const AnalogTruth truth = qxsim::MakeAnalogTruth(seed);
    float values[kCalConstantCount];
    std::memcpy(values, qxsim::NominalCalValues(), sizeof values);
    for (int c = 0; c < 2; ++c) {
      for (int r = 0; r < 4; ++r) {
        EXPECT_GT(WorstErrorPercent(truth, values, c, r), kLimitPercent[r]);
      }
      Calibrate(truth, values, c);
      for (int r = 0; r < 4; ++r) {
        EXPECT_LT(WorstErrorPercent(truth, values, c, r), kLimitPercent[r] / 10);
      }
    }
    float dac[2];
    for (int d = 0; d < 2; ++d) {
      FitDac((8192 - truth.dacOffset[d]) / truth.dacSlope[d],
             (49152 - truth.dacOffset[d]) / truth.dacSlope[d], &values[32 + 2 * d], &dac[d]);
      values[33 + 2 * d] = dac[d];
      EXPECT_NEAR(values[32 + 2 * d], truth.dacSlope[d], 0.01);
    }
    values[38] = static_cast<float>(truth.source10uA);
    values[39] = static_cast<float>(truth.source200uA);
    values[40] = static_cast<float>(truth.biasCurrent);
    EXPECT_EQ(FirstFailingConstant(values, true), -1);
  }
  // Five times the spread: the constants themselves leave their tolerance.
  qxsim::AnalogSpread wide;
  wide.scale = 5;
  float values[kCalConstantCount];
  std::memcpy(values, qxsim::NominalCalValues(), sizeof values);
  Calibrate(qxsim::MakeAnalogTruth(7, wide), values, 0);
  EXPECT_GE(FirstFailingConstant(values, false), 0);
}

TEST(AnalogModel, TheFirmwareReadsTheStationsRecordAndKnowsTheNominalsWhenBlank) {
  float nominal[kCalConstantCount];
  uint8_t page[kCalRecordBytes];
  std::memset(page, 0xFF, sizeof page);
  qxsim::CalValuesFromPage(page, nominal);
  for (size_t i = 0; i < kCalConstantCount; ++i) {
    EXPECT_EQ(nominal[i], static_cast<float>(CalConstantTable[i].nominal)) << i;
  }
  float values[kCalConstantCount];
  for (size_t i = 0; i < kCalConstantCount; ++i) values[i] = 0.5f + static_cast<float>(i);
  EncodeCalibrationRecord(values, page);
  float read[kCalConstantCount];
  qxsim::CalValuesFromPage(page, read);
  EXPECT_EQ(std::memcmp(read, values, sizeof read), 0);
}

TEST(AnalogModel, NoiseStaysWellInsideTheNoiseLimits) {
  struct Limit {
    int range;
    int resolution;
    int readings;
    double counts;
  };
  const Limit limits[] = {{0, 1, 128, 12.0}, {3, 1, 128, 110.0}, {0, 8, 128, 1.2},
                          {3, 8, 128, 15.0}, {0, 12, 16, 0.37},  {3, 12, 16, 8.0}};
  qxsim::AnalogNoise noise(3);
  for (const Limit& l : limits) {
    for (int batch = 0; batch < 50; ++batch) {
      double lo = 1e9, hi = -1e9;
      for (int i = 0; i < l.readings; ++i) {
        const double counts =
            33523.0 + noise.Counts(qxsim::NoiseSigmaCounts(l.range, l.resolution, true));
        const double raw = qxsim::RawFromCounts(counts) / 256.0;
        lo = std::fmin(lo, raw);
        hi = std::fmax(hi, raw);
      }
      EXPECT_LT(hi - lo, l.counts / 2) << l.range << "/" << l.resolution;
    }
  }
}

struct WiringCase {
  const char* what;
  bool deadSource;
  double resistorError;
  int failing;  // first failing constant; -1 none
};

TEST(JigWiring, CurrentsBiasAndProductionFiguresFromThePins) {
  const WiringCase cases[] = {
      {"good", false, 0, -1}, {"dead 10 uA", true, 0, 38}, {"resistor", false, 0.03, 38}};
  for (const WiringCase& c : cases) {
    SCOPED_TRACE(c.what);
    AnalogTruth truth = qxsim::MakeAnalogTruth(11);
    if (c.deadSource) truth.source10uA = 0;
    qxsim::JigSettings jig;
    jig.resistor10uAError = c.resistorError;
    qxsim::AnalogDrive drive;
    auto in = [&](int ch, int neg) { return JigInputVolts(jig, truth, drive, ch, neg); };
    float values[kCalConstantCount];
    std::memcpy(values, qxsim::NominalCalValues(), sizeof values);
    values[38] = static_cast<float>((in(10, 199) - in(15, 199)) / jig.values[3]);
    values[39] = static_cast<float>((in(11, 199) - in(15, 199)) / jig.values[2]);
    values[40] = static_cast<float>((in(4, 199) - (in(2, 199) - in(15, 199))) / jig.values[5]);
    drive.dacCode[0] = 8192;
    drive.dacCode[1] = 49152;
    const double a0 = in(0, 199), b1 = in(1, 199);
    drive.dacCode[0] = 49152;
    drive.dacCode[1] = 8192;
    FitDac(a0, in(0, 199), &values[32], &values[33]);
    FitDac(in(1, 199), b1, &values[34], &values[35]);
    EXPECT_EQ(FirstFailingConstant(values, true), c.failing);
    if (c.failing < 0) {
      EXPECT_NEAR(values[38], truth.source10uA, 1e-12);
      EXPECT_NEAR(values[40], truth.biasCurrent, 1e-15);
      EXPECT_NEAR(values[33], truth.dacOffset[0], 1e-3);
    }
    // Every input stays inside the range it is read on.
    EXPECT_LT(std::fabs(in(10, 199)), 1.0);
    EXPECT_LT(std::fabs(in(4, 199)), 0.01);
    // What the supply, rail and temperature checks compute.
    EXPECT_NEAR(in(6, 199), 5.02, 1e-9);
    EXPECT_NEAR(in(6, 7) / jig.values[4], 0.153, 1e-9);
    EXPECT_NEAR(jig.values[0] * in(13, 199), 12.6, 1e-9);
    EXPECT_NEAR(jig.values[1] * in(12, 199), -12.4, 1e-9);
    EXPECT_NEAR((in(5, 199) * 100 - 32) * 5 / 9 + 273.15, 297.95, 1e-9);
    drive.sourceVolts = 1.76;
    drive.line5Low = true;
    EXPECT_NEAR(in(8, 9), 0.08, 1e-12);
  }
}

}  // namespace
