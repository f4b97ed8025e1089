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

// --- Opening, identity, clock, jig, digital lines, flash -----------------
// (4992, 48005, 2000, 2500, 30014 and 60004 are named above.)

constexpr int kRegProductId = 60000;          // F32, read as its U32 bits
constexpr int kRegBootloaderVersion = 60006;  // F32
constexpr int kRegEdition = 60010;            // U32, bit 0: the "-Max" edition
constexpr int kRegMac = 60020;                // 3 registers, six bytes, first byte most significant
constexpr int kRegSerialNumber = 60028;       // U32
constexpr int kRegClock = 61500;              // U32 seconds, read
constexpr int kRegClockSet = 61504;           // U32 seconds, written
constexpr int kRegRestart = 61996;            // U32, written with the restart value

// Single-line direction (+ line); its level register is kRegDioLine.
constexpr int kRegDioLineDirection = 2100;
// The jig's code lines are the low 5 bits of kRegDioGroupLevel.

// Analog channel set-up banks (+ channel).
constexpr int kRegChannelBank40000 = 40000;
constexpr int kRegChannelBank40500 = 40500;
constexpr int kRegChannelBank41000 = 41000;
constexpr int kRegChannelBank41500 = 41500;

// The jig's bus.
constexpr int kRegJigSetup = 5200;  // 11 registers, written
constexpr int kRegJigData = 5300;   // 18 registers, read

// The device's error registers, read after some failed exchanges.
constexpr int kRegErrorDetail = 55000;  // 4 registers

// Flash access; flash addresses and keys are in device/flash_map.h.
constexpr int kRegFlashKey = 61800;          // write U32: key for the next erase or write
constexpr int kRegFlashReadPointer = 61810;  // write U32: address of the next read
constexpr int kRegFlashReadWindow = 61812;   // read 16 registers: 32 bytes
constexpr int kRegFlashErase = 61820;        // write U32: page base to erase
constexpr int kRegFlashWriteWindow = 61830;  // write 2 + n/2 registers: address, data
