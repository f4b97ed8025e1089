// The device's flash: its geometry and the regions that the station touches,
// each with the key that unlocks erase and write. Its interface registers are
// in device/register_addresses.h, which this header brings along.
#pragma once

#include <cstdint>

#include "device/register_addresses.h"

// Geometry.
constexpr uint32_t kFlashPageSize = 4096;
constexpr uint32_t kFlashPageMask = 0xFFF000;
constexpr uint32_t kFlashOffsetMask = 0xFFF;
constexpr uint32_t kFlashChunkSize = 32;  // bytes per read or write exchange
constexpr uint32_t kFlashReadWindowRegisters = kFlashChunkSize / 2;

// Firmware image, page after page.
constexpr uint32_t kFirmwareBase = 0x200000;
constexpr uint32_t kFirmwarePages = 120;
constexpr uint32_t kFirmwareKey = 0x3E7C51A9;

// Firmware info page.
constexpr uint32_t kInfoPageBase = 0x380000;
constexpr uint32_t kInfoPageKey = 0x91D4E62B;

// Configuration page: serial-number and MAC records.
constexpr uint32_t kConfigPageBase = 0x3C3000;
constexpr uint32_t kConfigPageKey = 0x7B3F0C58;
constexpr uint32_t kSerialRecordOffset = 0;
constexpr uint32_t kSerialRecordSize = 12;
constexpr uint32_t kMacRecordOffset = 0x14;
constexpr uint32_t kMacRecordSize = 8;

// Calibration page: the calibration record at its start.
constexpr uint32_t kCalibrationPageBase = 0x3C4000;
constexpr uint32_t kCalibrationPageKey = 0x6C1D4E93;
constexpr uint32_t kCalibrationRecordSize = 256;
