// Every device register address the station uses, as the device numbers them
// (decimal). A 32-bit value takes the register named and the one after it.
#pragma once

// --- Production checks ---------------------------------------------------

// Analog input N reads as the float at kRegAnalogInput + 2 N.
constexpr int kRegAnalogInput = 0;
constexpr int kRegAnalogSetup = 48005;  // written 1 before the temperature is read

// Digital lines: single-line level (writing 0 drives the line low) and the
// four group registers (first, E, C, M) of levels and of directions.
constexpr int kRegDioLine = 2000;
constexpr int kRegDioGroupLevel = 2500;
constexpr int kRegDioGroupDirection = 2550;

constexpr int kRegDac0 = 51000;
constexpr int kRegDac1 = 51002;

constexpr int kRegStreamScanRate = 4002;
constexpr int kRegStreamChannelCount = 4004;
constexpr int kRegStreamSetting4006 = 4006;
constexpr int kRegStreamSetting4010 = 4010;
constexpr int kRegStreamSetting4014 = 4014;
constexpr int kRegStreamChannelList = 4020;
constexpr int kRegStreamData = 4500;
constexpr int kRegStreamStart = 4990;
constexpr int kRegStreamStop = 4992;
constexpr int kRegDeviceIp = 49100;

constexpr int kRegCounterReset = 61990;
constexpr int kRegCounterSetupPhase1 = 44902;
constexpr int kRegCounterSetupPhase2 = 44900;
constexpr int kRegCounterConfig = 44160;  // counter k at + 10 k
constexpr int kRegCounterSource = 44020;  // source k at + 10 k
constexpr int kRegCounterValue = 3162;    // counter k at + 10 k

constexpr int kRegFirmwareVersion = 60004;
constexpr int kRegStartupFactory = 49000;  // 1: the startup settings are the factory ones
constexpr int kRegStartupRestore = 49004;  // kStartupRestoreKey restores them
constexpr int kRegDeviceName = 60500;      // 20 registers, 40 bytes of text

// --- Calibration ----------------------------------------------------------

constexpr int kRegJigSource = 30014;  // f32: the jig's voltage source, volts
// Raw reading of analog input N: u32 at kRegAnalogRaw + 2 N, counts x 256.
constexpr int kRegAnalogRaw = 50000;
