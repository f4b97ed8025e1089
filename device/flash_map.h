// The device's flash: its register interface, its geometry and the regions
// that the station touches, each with the key that unlocks erase and write.
#pragma once

#include <cstdint>

// Flash interface registers.
constexpr uint32_t kFlashKeyRegister = 61800;          // write u32: key for the next erase/write
constexpr uint32_t kFlashReadPointerRegister = 61810;  // write u32: address of the next read
constexpr uint32_t kFlashReadWindowRegister = 61812;   // read 16 registers: 32 bytes
constexpr uint32_t kFlashEraseRegister = 61820;        // write u32: page base to erase
constexpr uint32_t kFlashWriteWindowRegister = 61830;  // write 2 + n/2 registers: address, data

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
