// Settings stored on the device: the firmware version, the startup
// acquisition settings, and the device name; and a placeholder test.
#pragma once

#include <cstddef>
#include <cstdint>

#include "harness/context.h"

constexpr double kMinimumFirmware = 0.15;
constexpr uint32_t kStartupRestoreKey = 0x2F9A6C13;
constexpr uint32_t kDeviceNameRegisters = 20;
constexpr size_t kDeviceNameBytes = 2 * kDeviceNameRegisters;

// Msg of the firmware check; returns the level.
uint32_t JudgeFirmwareVersion(float version, bool calibrating, char* msg, size_t cap);

// True when the stored name is kept: it is not blank and its characters 7 to
// 10 give the serial number's last four digits.
bool NameFitsSerial(const uint8_t name[kDeviceNameBytes], int64_t serialNumber);
// The factory name for a serial number ("My_Z5_" and its last four digits),
// zero-filled to the buffer's end.
void BuildDefaultName(int64_t serialNumber, char* name, size_t cap);

uint32_t FirmwareVersion(TestContext* context);
uint32_t StartupDaqSettings(TestContext* context);
uint32_t DeviceName(TestContext* context);
uint32_t NotImplementedTest(TestContext* context);
