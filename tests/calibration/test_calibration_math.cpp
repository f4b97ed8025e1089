// The arithmetic of calibration: range points, statistics, slopes, the
// constants' acceptance, the flash record's bytes and the verdict texts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "calibration/cal_constants.h"
#include "calibration/cal_point.h"
#include "calibration/calibration_tests.h"
#include "calibration/mean_peak_to_peak.h"
#include "calibration/range_cal.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

float Nominal(size_t i) { return static_cast<float>(CalConstantTable[i].nominal); }

TEST(CalPoint, SmallestRangeSharesTheMetersTenthVoltScale) {
  uint32_t meterRange = 9;
  uint16_t deviceRange = 9;
  double span = 0;
  EXPECT_EQ(GetCALPoint(3, &meterRange, &deviceRange, &span), 0);
  EXPECT_EQ(meterRange, 2u);
  EXPECT_EQ(deviceRange, 3u);
  EXPECT_DOUBLE_EQ(span, 0.0206);
}

TEST(CalPointDeathTest, RangeOutsideTheTableEndsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);  // the message goes to standard output
        GetCALPoint(4, nullptr, nullptr, nullptr);
      },
      testing::ExitedWithCode(1), "From GetCALPoint: invalid range$");
}

TEST(MeanPeakToPeak, AllThreeElementTypes) {
  double spread = -1;
  const double one = 5.0;
  EXPECT_EQ(MeanPeakToPeak(&one, 1, &spread), 5.0);
  EXPECT_EQ(spread, 0.0);
  // Raw readings are unsigned: the spread never turns negative.
  const uint32_t raw[2] = {0x80000000u, 0};
  EXPECT_EQ(MeanPeakToPeak(raw, 2, &spread), 1073741824.0);
  EXPECT_EQ(spread, 2147483648.0);
  const float volts[3] = {1.0f, -2.0f, 4.0f};
  EXPECT_EQ(MeanPeakToPeak(volts, 3, &spread), 1.0);
  EXPECT_EQ(spread, 6.0);
  EXPECT_TRUE(std::isnan(MeanPeakToPeak(volts, 0, &spread)));
}

TEST(RangeArithmetic, SlopesFromTheThreePointsAndThePointError) {
  const RangeFit fit = FitRange(8.0, -8.0, 58855, 8191, 33523);
  EXPECT_NEAR(fit.posSlope, 3.1580610e-4, 1e-11);
  EXPECT_DOUBLE_EQ(fit.posSlope, 8.0 / 25332);
  EXPECT_DOUBLE_EQ(fit.negSlope, -fit.posSlope);
  EXPECT_EQ(fit.center, 33523);
  EXPECT_NEAR(fit.offset, -10.586768, 1e-6);
  EXPECT_NEAR(PointError(7.5021, 7.5, 20.6), 0.0021 / 20.6, 1e-15);
  EXPECT_DOUBLE_EQ(PointError(-0.1, 0.1, 0.206), 0.2 / 0.206);
}

TEST(CalConstantTable, FortyOneRowsWithTheirIrregularNominals) {
  EXPECT_STREQ(CalConstantTable[0].name, "HS 10.0V PSlope");
  EXPECT_STREQ(CalConstantTable[31].name, "HR 0.01V Offset");
  EXPECT_STREQ(CalConstantTable[40].name, "I Bias");
  EXPECT_EQ(CalConstantTable[5].nominal, -3.15806e-05);
  EXPECT_EQ(CalConstantTable[13].nominal, -3.158e-07);
  EXPECT_EQ(CalConstantTable[37].nominal, 465.129215);
  for (size_t i = 0; i < kCalConstantCount; ++i) {
    SCOPED_TRACE(CalConstantTable[i].name);
    const bool hr = i >= kCalHrFirst && i < kCalHrEnd;
    if (i < kCalHrEnd) {
      EXPECT_EQ(CalConstantTable[i].tolerance, hr ? 0.5 : 0.05);
      EXPECT_EQ(CalConstantTable[i].nominal, CalConstantTable[i % 16].nominal);
    }
    // Every nominal passes, also rounded to single precision.
    EXPECT_TRUE(ConstantAccepted(i, Nominal(i)));
  }
}

struct AcceptanceCase {
  size_t index;
  float value;
  double deviation;  // NaN: not checked
  bool accepted;
};

TEST(ConstantAcceptance, DeviationsAtAndAroundTheTolerances) {
  const double any = std::nan("");
  const AcceptanceCase cases[] = {
      {kCalDac0Offset, 100.0f, 1.0, true},
      {kCalDac0Offset, -150.0f, 1.5, true},
      {kCalDac0Offset, 201.0f, 2.01, false},
      {kCalDac0Offset, 0.0f, 0.0, true},
      {kCalDac1Offset, 250.0f, 2.5, false},
      {kCalSource10uA, 1.02e-05f, any, false},
      {1, -0.0003158058f * 1.04f, any, true},
      {1, -0.0003158058f * 0.94f, any, false},
      {kCalBiasCurrent, -2e-08f, 2.0, false},
      {0, kNaN, any, false},
      {0, kInf, any, false},
      {kCalDac0Offset, -kInf, any, false},
  };
  for (const AcceptanceCase& c : cases) {
    SCOPED_TRACE(testing::Message() << CalConstantTable[c.index].name << " = " << c.value);
    if (!std::isnan(c.deviation)) {
      EXPECT_NEAR(ConstantDeviation(c.index, c.value), c.deviation, 1e-6);
    }
    EXPECT_EQ(ConstantAccepted(c.index, c.value), c.accepted);
  }
  EXPECT_NEAR(ConstantDeviation(kCalSource10uA, 1.02e-05f), 0.02, 1e-6);
}

TEST(ConstantAcceptance, FirstFailureSkipsTheHrBlockWithoutTheConverter) {
  float values[kCalConstantCount];
  for (size_t i = 0; i < kCalConstantCount; ++i) values[i] = Nominal(i);
  for (size_t i = kCalHrFirst; i < kCalHrEnd; ++i) values[i] = 0.0f;
  EXPECT_EQ(FirstFailingConstant(values, false), -1);
  EXPECT_EQ(FirstFailingConstant(values, true), 16);
  values[kCalSource200uA] = kNaN;
  values[kCalBiasCurrent] = 1.0f;
  EXPECT_EQ(FirstFailingConstant(values, false), 39);
}

TEST(CalibrationRecord, BigEndianSinglesThenZeros) {
  float values[kCalConstantCount] = {};
  values[0] = 3.1580610e-4f;
  values[kCalTempSlope] = -92.379f;
  values[kCalTempOffset] = 465.129215f;
  uint32_t nanBits = 0x7FC01234u;
  std::memcpy(&values[40], &nanBits, 4);
  std::vector<uint8_t> record(kCalRecordBytes, 0xAA);
  EncodeCalibrationRecord(values, record.data());
  EXPECT_EQ(std::vector<uint8_t>(record.begin(), record.begin() + 4),
            (std::vector<uint8_t>{0x39, 0xA5, 0x92, 0xC7}));
  EXPECT_EQ(std::vector<uint8_t>(record.begin() + 144, record.begin() + 152),
            (std::vector<uint8_t>{0xC2, 0xB8, 0xC2, 0x0C, 0x43, 0xE8, 0x90, 0x8A}));
  EXPECT_EQ(std::vector<uint8_t>(record.begin() + 164, record.end()), std::vector<uint8_t>(92, 0));
  EXPECT_FALSE(CalibrationRecordBlank(record.data()));
  float back[kCalConstantCount];
  DecodeCalibrationRecord(record.data(), back);
  EXPECT_EQ(std::memcmp(back, values, sizeof back), 0) << "every bit pattern survives";
  record[0] = 0xFF;
  EXPECT_TRUE(CalibrationRecordBlank(record.data()));
}

TEST(CalibrateArithmetic, DacFitAndTheFailureText) {
  float slope = 0;
  float offset = 0;
  FitDac(0.6136, 3.7167, &slope, &offset);
  EXPECT_EQ(slope, 13199.703f);
  EXPECT_NEAR(offset, 92.66, 0.005);
  EXPECT_TRUE(ConstantAccepted(kCalDac0Slope, slope));
  EXPECT_TRUE(ConstantAccepted(kCalDac0Offset, offset));

  char msg[kTextCapacity];
  FormatCalFailure(kCalSource200uA, 2.1e-04f, msg, sizeof msg);
  EXPECT_STREQ(msg, "Cal Failed: IS 200uA2.100000e-04, 2.000000e-04, ");
}

struct AccuracyCase {
  uint8_t isMax;
  float hs[4];
  float hr[4];
  uint32_t level;
  const char* msg;
};

TEST(AccuracyVerdict, FirstRangeOverItsLimitOrTheSummary) {
  const float nan = kNaN;
  const AccuracyCase cases[] = {
      {0, {0.004f, 0.01f, 0.025f, 0.5f}, {}, 5, "Acc Err: HS 2 0.025"},
      // Without the HR converter its figures show as zeros and are not judged.
      {0, {0.004f, 0.006f, 0.011f, 0.05f}, {}, 2, "0.004,0.006,0.011,0.050,0.000,0.000"},
      {1,
       {0.004f, 0.006f, 0.011f, 0.05f},
       {0.003f, 0.002f, 0.03f, 0.01f},
       5,
       "Acc Err: HR 2 0.030"},
      {1,
       {0.004f, 0.006f, 0.011f, 0.05f},
       {0.003f, 0.002f, 0.01f, 0.07f},
       2,
       "0.004,0.006,0.011,0.050,0.003,0.070"},
      // A range without meter readings never passes.
      {0, {0.004f, nan, 0.0f, 0.0f}, {}, 5, "Acc Err: HS 1 nan"},
  };
  for (const AccuracyCase& c : cases) {
    SCOPED_TRACE(c.msg);
    TestContext context;
    context.isMax = c.isMax;
    EXPECT_EQ(JudgeAccuracy(&context, c.hs, c.hr), 0u);
    EXPECT_EQ(context.EL, c.level);
    EXPECT_STREQ(context.Msg, c.msg);
  }
}

}  // namespace
