// The station mask bits: which tests a station runs, and the options that
// single tests read.
#pragma once

#include <cstdint>

constexpr uint32_t kMaskRestoreSettings = 0x20;  // put factory startup settings back
constexpr uint32_t kMaskMaySerialize = 0x40;
constexpr uint32_t kMaskCalibration = 0x80;  // calibration run: tighter limits
constexpr uint32_t kMaskMayUpdateMac = 0x100;
constexpr uint32_t kMaskUsbCheck = 0x400;
constexpr uint32_t kMaskSetClock = 0x1000;
constexpr uint32_t kMaskReports = 0x10000;
constexpr uint32_t kMaskJig = 0x20000;  // a test jig is present
constexpr uint32_t kMaskProduction = 0x40000;
constexpr uint32_t kMaskNoJig = 0x800000;
