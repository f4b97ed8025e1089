#include "harness/station_table.h"

#include <cstring>

#include "calibration/cal_constants.h"
#include "calibration/calibration_tests.h"
#include "harness/measure.h"
#include "harness/open_device.h"
#include "harness/sha256.h"
#include "production/counter_test.h"
#include "production/dac_test.h"
#include "production/dio_tests.h"
#include "production/settings_tests.h"
#include "production/stream_tests.h"
#include "production/supply_checks.h"
#include "server/server_tests.h"
#include "upgrade/firmware_file.h"

// Rows are added here as their tests are written, in the order of kTestPlan,
// each with the name and masks of its plan row, for example
//   {"Open Quenlox", kZ5DeviceType, OpenDevice, 0x840400, 0},
const TestEntry kTestTable[] = {
    {"Open Quenlox", kZ5DeviceType, OpenDevice, 0x840400, 0},
    {"Connect to QXTest Server", kZ5DeviceType, ConnectToServer, 0x10000, 0},
    {"Read Test Jig Info", kZ5DeviceType, ReadTestJigInfo, 0x20000, 0},
    {kSerialNumberTestName, kZ5DeviceType, SerialNumber, 0x840000, 0},
    {"Ethernet MAC", kZ5DeviceType, EthernetMac, 0x840000, 0},
    {"Check Calibration", kZ5DeviceType, CheckCalibration, 0x840000, 0},
    {"Vs and Current", kZ5DeviceType, VsAndCurrent, 0x40000, 0},
    {"Vmux", kZ5DeviceType, Vmux, 0x20000, 0},
    {"System Time", kZ5DeviceType, SystemTime, 0x840000, 0},
    {"Firmware Version", kZ5DeviceType, FirmwareVersion, 0x840000, 0},
    {"Startup DAQ Settings", kZ5DeviceType, StartupDaqSettings, 0x840000, 0},
    {"Device Name", kZ5DeviceType, DeviceName, 0x840000, 0},
    {"Temperature Sensor", kZ5DeviceType, TemperatureSensor, 0x840000, 0},
    {"DIO Short Test", kZ5DeviceType, DioShortTest, 0x800000, 0x20000},
    {"DIO Jig Test", kZ5DeviceType, DioJigTest, 0x40020000, 0},
    {"DAC Test", kZ5DeviceType, DacTest, 0x20000, 0},
    {"Ethernet test", kZ5DeviceType, EthernetTest, 0x40000, 0},
    {"AIn Noise 16-bit counts", kZ5DeviceType, AInNoiseTest, 0x840000, 0},
    {"Calibrate", kZ5DeviceType, Calibrate, 0x40020080, 0},
    {"Report Calibraion", kZ5DeviceType, ReportCalibration, 0x40030080, 0},
    {"Report Test Results", kZ5DeviceType, ReportTestResults, 0x10000, 0},
    {nullptr, 0, nullptr, 0, 0},
};

const ExtraTest kExtraTests[] = {
    {"AccuracyCheck", AccuracyCheck},
    {"CounterTest", CounterTest},
    {"CheckUpgradeFile", CheckUpgradeFile},
    {"NotImplementedTest", NotImplementedTest},
    {nullptr, nullptr},
};

const ExtraTest* FindExtraTest(const ExtraTest* table, const char* name) {
  if (table == nullptr || name == nullptr) return nullptr;
  for (const ExtraTest* row = table; row->test != nullptr; ++row) {
    if (std::strcmp(row->name, name) == 0) return row;
  }
  return nullptr;
}

uint32_t BenchNeeds(TestFunction test) {
  // The later server tests use the connection this one opens.
  if (test == ConnectToServer) return kNeedsServer;
  if (test == Calibrate || test == AccuracyCheck) return kNeedsMeter;
  return 0;
}

const TestPlanRow kTestPlan[kTestPlanSize] = {
    {"Open Quenlox", 0x840400, 0},             // 0
    {"Connect to QXTest Server", 0x10000, 0},  // 1
    {"Read Test Jig Info", 0x20000, 0},        // 2
    {"Serial Number", 0x840000, 0},            // 3
    {"Ethernet MAC", 0x840000, 0},             // 4
    {"Check Calibration", 0x840000, 0},        // 5
    {"Vs and Current", 0x40000, 0},            // 6
    {"Vmux", 0x20000, 0},                      // 7
    {"System Time", 0x840000, 0},              // 8
    {"Firmware Version", 0x840000, 0},         // 9
    {"Startup DAQ Settings", 0x840000, 0},     // 10
    {"Device Name", 0x840000, 0},              // 11
    {"Temperature Sensor", 0x840000, 0},       // 12
    {"DIO Short Test", 0x800000, 0x20000},     // 13
    {"DIO Jig Test", 0x40020000, 0},           // 14
    {"DAC Test", 0x20000, 0},                  // 15
    {"Ethernet test", 0x40000, 0},             // 16
    {"AIn Noise 16-bit counts", 0x840000, 0},  // 17
    {"Calibrate", 0x40020080, 0},              // 18
    {"Report Calibraion", 0x40030080, 0},      // 19
    {"Report Test Results", 0x10000, 0},       // 20
};

const DeviceTypeEntry kDeviceTypes[] = {
    {"GetTestList", kZ5DeviceType, GetTestList},
    {nullptr, 0, nullptr},
};

uint32_t GetTestList(TestContext* context, TestRecord* list) {
  if (context == nullptr) return 1;
  return SelectTests(kTestTable, context->mask, list, &context->testCount);
}

std::string LimitsText() {
  std::string text;
  AppendOpenDeviceLimits(&text);
  AppendSupplyLimits(&text);
  AppendLimit(&text, "firmware.Minimum", kMinimumFirmware);
  AppendDioLimits(&text);
  AppendDacLimits(&text);
  AppendStreamLimits(&text);
  AppendCounterLimits(&text);
  AppendNoiseLimits(&text);
  AppendAccuracyLimits(&text);
  AppendServerTestLimits(&text);
  for (const CalConstantDef& c : CalConstantTable) {
    AppendLimit(&text, (std::string("cal.") + c.name + ".nominal").c_str(), c.nominal);
    AppendLimit(&text, (std::string("cal.") + c.name + ".tolerance").c_str(), c.tolerance);
  }
  return text;
}

std::string LimitsFingerprint() { return Sha256Hex(LimitsText()); }
