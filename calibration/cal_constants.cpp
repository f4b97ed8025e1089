#include "calibration/cal_constants.h"

#include <cmath>
#include <cstring>

#include "harness/measure.h"
#include "platform/byte_order.h"

float CalConstants[kCalConstantCount] = {};

double ConstantDeviation(size_t index, float value) {
  const double v = static_cast<double>(value);
  const double nominal = CalConstantTable[index].nominal;
  // The DAC offsets are judged by their size: the nominal only scales them.
  if (index == kCalDac0Offset || index == kCalDac1Offset) return std::fabs(std::fabs(v) / nominal);
  return std::fabs(std::fabs(v - nominal) / nominal);
}

bool ConstantAccepted(size_t index, float value) {
  if (!std::isfinite(value)) return false;
  return ConstantDeviation(index, value) <= CalConstantTable[index].tolerance;
}

int FirstFailingConstant(const float* values, bool hasHighRes) {
  for (size_t i = 0; i < kCalConstantCount; ++i) {
    if (!hasHighRes && i >= kCalHrFirst && i < kCalHrEnd) continue;
    if (!ConstantAccepted(i, values[i])) return static_cast<int>(i);
  }
  return -1;
}

void EncodeCalibrationRecord(const float* values, uint8_t* record) {
  std::memset(record, 0, kCalRecordBytes);
  for (size_t i = 0; i < kCalConstantCount; ++i)
    PutF32BE(record, kCalRecordBytes, 4 * i, values[i]);
}

void DecodeCalibrationRecord(const uint8_t* record, float* values) {
  for (size_t i = 0; i < kCalConstantCount; ++i) {
    values[i] = GetF32BE(record, kCalRecordBytes, 4 * i);
  }
}

int ErasedCalibrationPiece(const uint8_t* record) {
  constexpr size_t kPiece = 32;  // the flash write's chunk
  for (size_t at = 0; at < kCalRecordBytes; at += kPiece) {
    size_t erased = 0;
    while (erased < kPiece && record[at + erased] == 0xFF) ++erased;
    if (erased == kPiece) return static_cast<int>(at);
  }
  return -1;
}

bool CalibrationRecordTorn(const uint8_t* record, bool hasHighRes) {
  if (ErasedCalibrationPiece(record) >= 0) return true;
  float values[kCalConstantCount];
  DecodeCalibrationRecord(record, values);
  for (size_t i = 0; i < kCalConstantCount; ++i) {
    if (!hasHighRes && i >= kCalHrFirst && i < kCalHrEnd) continue;
    if (!std::isfinite(values[i])) return true;
  }
  return false;
}

void MeasureConstants(TestContext* context, const float* values, bool hasHighRes,
                      const char* prefix) {
  for (size_t i = 0; i < kCalConstantCount; ++i) {
    if (!hasHighRes && i >= kCalHrFirst && i < kCalHrEnd) continue;
    double low = 0.0;
    double high = 0.0;
    ConstantWindow(i, &low, &high);
    const std::string name = std::string(prefix) + CalConstantTable[i].name;
    MeasureJudged(context, name.c_str(), values[i], "", low, high, ConstantAccepted(i, values[i]));
  }
}
