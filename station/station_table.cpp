#include "station/station_table.h"

#include <cstring>

#include "base/sha256.h"
#include "calibration/cal_constants.h"
#include "calibration/calibration_tests.h"
#include "harness/mask_bits.h"
#include "harness/measure.h"
#include "production/counter_test.h"
#include "production/dac_test.h"
#include "production/dio_tests.h"
#include "production/open_device.h"
#include "production/settings_tests.h"
#include "production/stream_tests.h"
#include "production/supply_checks.h"
#include "server/server_tests.h"
#include "upgrade/firmware_file.h"

namespace {

constexpr uint32_t kZ5 = kZ5DeviceType;
// Both production stations, with the jig and without.
constexpr uint32_t kProductionStations = kMaskNoJig | kMaskProduction;

}  // namespace

const TestEntry kTestTable[] = {
    {"Open Quenlox", kZ5, OpenDevice, kProductionStations | kMaskUsbCheck, 0},
    {"Connect to QXTest Server", kZ5, ConnectToServer, kMaskReports, 0},
    {"Read Test Jig Info", kZ5, ReadTestJigInfo, kMaskJig, 0},
    {kSerialNumberTestName, kZ5, SerialNumber, kProductionStations, 0},
    {"Ethernet MAC", kZ5, EthernetMac, kProductionStations, 0},
    {"Check Calibration", kZ5, CheckCalibration, kProductionStations, 0},
    {"Vs and Current", kZ5, VsAndCurrent, kMaskProduction, 0},
    {"Vmux", kZ5, Vmux, kMaskJig, 0},
    {"System Time", kZ5, SystemTime, kProductionStations, 0},
    {"Firmware Version", kZ5, FirmwareVersion, kProductionStations, 0},
    {"Startup DAQ Settings", kZ5, StartupDaqSettings, kProductionStations, 0},
    {"Device Name", kZ5, DeviceName, kProductionStations, 0},
    {"Temperature Sensor", kZ5, TemperatureSensor, kProductionStations, 0},
    {"DIO Short Test", kZ5, DioShortTest, kMaskNoJig, kMaskJig},
    {"DIO Jig Test", kZ5, DioJigTest, kSelectAll | kMaskJig, 0},
    {"DAC Test", kZ5, DacTest, kMaskJig, 0},
    {"Ethernet test", kZ5, EthernetTest, kMaskProduction, 0},
    {"AIn Noise 16-bit counts", kZ5, AInNoiseTest, kProductionStations, 0},
    {"Calibrate", kZ5, Calibrate, kSelectAll | kMaskJig | kMaskCalibration, 0},
    {"Report Calibraion", kZ5, ReportCalibration,
     kSelectAll | kMaskJig | kMaskReports | kMaskCalibration, 0},
    {"Report Test Results", kZ5, ReportTestResults, kMaskReports, 0},
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
