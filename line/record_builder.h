// Records written as the stations write them (schema version 2), from a
// short description: for tests, the benchmark and the demo.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace line {

struct MeasurementSpec {
  std::string name;
  double value = 0;
  std::string unit;
  std::optional<double> low;
  std::optional<double> high;
  // The test's verdict; by default what the inclusive limits say.
  std::optional<std::string> outcome;
};

struct TestSpec {
  std::string name;
  std::string status = "Passed";
  std::string details;
  std::optional<std::string> cause;
  int64_t durationMs = 0;
  std::vector<MeasurementSpec> measurements;
};

struct UpgradeSpec {
  std::string imageName = "z5_fw_1.0300.bin";
  int64_t imageSize = 491648;
  std::string sha256 = std::string(64, '0');
  std::string firmwareBefore = "1.0200";
  std::string firmwareAfter = "1.0300";
  std::string bootloader = "0.8900";
  int64_t pagesWritten = 120;
  std::optional<int64_t> code;
  std::vector<std::pair<std::string, int64_t>> steps;  // name, duration
};

struct RunSpec {
  std::string id;
  std::string program = "qxstation";
  std::string host = "line1";
  std::optional<std::string> station;  // none: a run chosen by its mask
  std::string mask = "0x400F0480";
  int64_t startMs = 0;
  int64_t endMs = 0;
  std::string result = "passed";
  std::optional<std::string> cause;
  std::optional<int64_t> serialNumber;
  std::string edition = "Z5-Max";
  std::string firmware = "1.0300";
  bool jig = true;  // type 3, code 17 and six values; none without
  std::vector<TestSpec> tests;
  std::optional<UpgradeSpec> upgrade;  // makes it a qxtest record
};

// The record's JSON, two spaces indented as the stations write it.
std::string RecordJson(const RunSpec& run);
// "SERIAL_STATION_YYYYMMDDTHHMMSS.mmmZ.json" ("no-serial" without one).
std::string RecordFileName(const RunSpec& run);

}  // namespace line
