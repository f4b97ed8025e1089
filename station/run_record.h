// The record of one device run, built from the harness's notices and written
// for others to read: a JSON document per run, and the same run as JUnit XML
// for CI and line dashboards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/utc_time.h"
#include "harness/run_observer.h"

struct RecordedTest {
  std::string name;
  uint32_t status = kLevelNotRun;
  std::string details;
  std::string note;  // the test's record note; empty: none
  uint64_t durationMs = 0;
  std::vector<Measurement> measurements;
  const char* cause = nullptr;  // CauseName's; null: passed or not run
};

class RunRecord : public RunObserver {
 public:
  // station may be empty (a run chosen by its mask alone).
  RunRecord(std::string station, uint32_t mask);

  void RunStarted(const TestRecord* list, uint32_t count, const TestContext& context) override;
  void TestStarted(uint32_t index, const TestRecord& test) override;
  void TestFinished(uint32_t index, const TestRecord& test, const TestContext& context) override;
  void RunFinished(bool passed, const TestContext& context) override;
  void RunAborted(int stop, const TestContext& context) override;
  void TestUndone(uint32_t index, const char* note) override;

  // The record, version 2 of schema/record.schema.json (record_json.cpp).
  std::string ToJson() const;
  std::string ToJUnit() const;
  // "SERIAL_STATION_STARTZ" ("no-serial" and "mask-0x..." stand in for what
  // is unknown), without an extension.
  std::string BaseName() const;

  const std::vector<RecordedTest>& tests() const { return tests_; }
  bool passed() const { return passed_; }
  bool aborted() const { return aborted_; }
  int64_t serialNumber() const { return serialNumber_; }
  // "passed", "failed", or "aborted" (a stop request ended the run).
  const char* Result() const { return aborted_ ? "aborted" : passed_ ? "passed" : "failed"; }
  // Why the run did not pass: "aborted" for a stopped run, else the cause of
  // its first test that did not pass; null for a run that passed.
  const char* Cause() const;
  // Unique per run (a random UUID), made when the run starts.
  const std::string& id() const { return id_; }

 private:
  // What the context knows of the device and the jig so far.
  void Take(const TestContext& context);

  std::string station_;
  uint32_t mask_;
  std::string hostName_ = "localhost";  // where the run was made
  int64_t start_ = 0;                   // wall seconds, UTC
  int64_t end_ = 0;
  int64_t startMs_ = 0;  // the same in milliseconds
  int64_t endMs_ = 0;
  std::string id_;
  RecordedIdentity identity_;
  bool isMax_ = false;
  uint32_t jigType_ = 0;
  uint32_t jigCode_ = 0;
  double jigValues_[6] = {};
  uint64_t testStartMs_ = 0;
  int64_t serialNumber_ = 0;
  bool passed_ = false;
  bool aborted_ = false;
  std::vector<RecordedTest> tests_;
};

// Text escaped for a JSON string (without the quotes) and for XML character
// data or attributes. Bytes above 0x7F are taken as Latin-1, so that whatever
// a device sent, the output stays valid UTF-8; control characters that XML
// cannot carry become U+FFFD.
std::string JsonEscape(const std::string& text);
std::string XmlEscape(const std::string& text);
// A random UUID (version 4), lower-case.
std::string RandomUuid();
// "0.12 <revision>": the station's version and the source revision of the build.
std::string BuildText();

// Writes the JSON record into dir under a name no earlier record took;
// *path (when given) receives it, also when the write fails. Returns 0 or a
// platform status, with the system's reason in *osError (when given).
int WriteRunRecord(const std::string& dir, const RunRecord& record, std::string* path,
                   int* osError = nullptr);
// The same for any record's text: written as base + ".json", or base + "-2.json"
// and so on when that name is taken.
int WriteRecordFile(const std::string& base, const std::string& json, std::string* path,
                    int* osError = nullptr);
