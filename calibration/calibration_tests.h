// The calibration tests of the station's list, and the accuracy check that
// a bench engineer adds by name after calibrating.
#pragma once

#include <cstddef>
#include <cstdint>

#include "harness/context.h"

// "Check Calibration": reads and judges the stored record; changes nothing,
// except that a torn record is erased in a run that will calibrate.
uint32_t CheckCalibration(TestContext* context);
// "Report Calibraion": sends CalConstants to the test server.
uint32_t ReportCalibration(TestContext* context);
// Measures every range's calibrated readings against the meter.
uint32_t AccuracyCheck(TestContext* context);
// "AIn Noise 16-bit counts": peak-to-peak spread of channel 15's raw readings.
uint32_t AInNoiseTest(TestContext* context);
// The limits of the noise and accuracy checks, for the fingerprint of the
// station's limits.
void AppendNoiseLimits(std::string* text);
void AppendAccuracyLimits(std::string* text);
// "Calibrate": measures the constants and writes the record.
uint32_t Calibrate(TestContext* context);

// The arithmetic and verdicts of those tests, apart from the device.

// A DAC's slope (codes per volt) and offset (codes) from the volts read back
// at codes 8192 (atLow) and 49152 (atHigh); the offset uses the slope as
// rounded to single precision.
void FitDac(double atLow, double atHigh, float* slope, float* offset);

// "Cal Failed: " with the constant's name, its value and its nominal ("%.06e, "
// each), into out (capacity cap).
void FormatCalFailure(size_t index, float value, char* out, size_t cap);

// AccuracyCheck's verdict on the per-range errors (percent of span): the
// first range over its limit fails, HS before HR; otherwise the six-figure
// summary. hr is judged only on a device with the HR converter.
uint32_t JudgeAccuracy(TestContext* context, const float* hs, const float* hr);
