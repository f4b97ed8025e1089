// A line's worth of records made up from a seed, valid against the record
// schema: devices through an upgrade, the calibration station (about 150
// measurements a run) and the final station, with device faults found and
// retested, dropped links, aborted runs, runs that fail before the serial
// number is read, a supply reading that drifts as the jig wears, a marginal
// reading, and one device whose calibration constants are far from the rest.
// The same seed gives the same records, ids included.
#pragma once

#include <cstdint>
#include <deque>
#include <random>
#include <string>

#include "line/record_builder.h"

namespace line {

struct LineSpec {
  uint32_t devices = 20;
  uint64_t seed = 1;
  int64_t startMs = 1772431200000;  // 2026-03-02T06:00:00.000Z
  bool upgrades = true;             // a qxtest record before each device's calibration
  bool finalStation = true;         // the final station after a passed calibration
  double deviceFaults = 0.15;       // devices the calibration station fails for a fault
  double intermittent = 0.5;        // of those, the share that pass when retested
  double linkFaults = 0.03;         // station runs that lose the device link
  double aborted = 0.02;            // station runs stopped by the operator
  double unidentified = 0.02;       // station runs that fail before the serial number
  uint64_t maxRecords = 0;          // stop after this many (0: none)
};

class LineGenerator {
 public:
  explicit LineGenerator(const LineSpec& spec);
  // The next record, in time order; false when the line is done.
  bool Next(std::string* fileName, std::string* json);
  // The next run itself, for tests that check figures against it.
  bool NextRun(RunSpec* run);

 private:
  void PlanDevice();
  RunSpec StationRun(const std::string& station, int64_t serial, int fault, uint32_t runIndex);
  // What a test's measurements depend on besides the test.
  struct TestContextSpec {
    int64_t serial;
    int event;
    uint32_t runIndex;
    bool outlier;
  };
  // Each fills the test named when it is one of its own; false otherwise.
  bool BoardMeasurements(const std::string& name, TestSpec* t, const TestContextSpec& x);
  bool ClockAndFirmwareMeasurements(const std::string& name, TestSpec* t, const TestContextSpec& x);
  bool DioMeasurements(const std::string& name, TestSpec* t, const TestContextSpec& x);
  bool DacMeasurements(const std::string& name, TestSpec* t, const TestContextSpec& x);
  bool StreamMeasurements(const std::string& name, TestSpec* t, const TestContextSpec& x);
  bool CalibrateMeasurements(const std::string& name, TestSpec* t, const TestContextSpec& x);
  // The test where the run stopped: lost link, interrupt or no server.
  void StopTest(TestSpec* t, int event);
  void SetResult(RunSpec* run, int event);
  double Normal(double mean, double sigma);
  double Uniform() { return std::uniform_real_distribution<double>(0, 1)(rng_); }
  std::string NewId();

  LineSpec spec_;
  std::mt19937_64 rng_;
  uint32_t device_ = 0;
  uint64_t emitted_ = 0;
  uint32_t calibrationRuns_ = 0;  // drives the drift of the supply reading
  int64_t clockMs_;
  std::deque<RunSpec> queue_;
};

}  // namespace line
