// The 41 analog calibration constants of the Z5: their table of names,
// nominal values and tolerances, the process-wide working copy, the rule that
// accepts a constant, and the 256-byte record that holds them in flash.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/text.h"
#include "calibration/table/cal_constant_table.h"
#include "harness/context.h"

// What the last "Calibrate" of this process computed (0 where nothing was).
extern float CalConstants[kCalConstantCount];

// The DAC offsets: |value| / nominal; every other constant: the relative
// distance |value - nominal| / |nominal|.
double ConstantDeviation(size_t index, float value);

// False when the deviation exceeds the tolerance, and for a NaN or infinite
// value, which no calibration can use.
bool ConstantAccepted(size_t index, float value);

// The first constant that fails, in index order, skipping the HR block when
// the device has no HR converter; -1 when all pass.
int FirstFailingConstant(const float* values, bool hasHighRes);

// The record: constant i as a big-endian IEEE-754 single at bytes 4i..4i+3,
// zeros after the last. A record whose first byte is 0xFF is blank.
constexpr size_t kCalRecordBytes = 256;
void EncodeCalibrationRecord(const float* values, uint8_t* record);
void DecodeCalibrationRecord(const uint8_t* record, float* values);
inline bool CalibrationRecordBlank(const uint8_t* record) { return record[0] == 0xFF; }
// A record that is not blank but was cut while it was written: the record
// goes into flash 32 bytes at a time, so a piece of it still reads erased
// (all 0xFF), or a constant is not a finite number (the HR block counts only
// on a device with the HR converter).
bool CalibrationRecordTorn(const uint8_t* record, bool hasHighRes);
// The first byte of the record's first erased piece; -1 when none is.
int ErasedCalibrationPiece(const uint8_t* record);

// Records each constant the acceptance rule judges (the HR block only with
// the HR converter), named prefix + its name, with the window that rule
// accepts and its verdict.
void MeasureConstants(TestContext* context, const float* values, bool hasHighRes,
                      const char* prefix);
