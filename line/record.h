// A station's run record as the line reads it: every field a reader relies
// on, checked against the record schema (schema/record.schema.json) as it is
// read. A record that does not match is refused with the field named.
//
// Texts are views into the reader's buffers: a Record is valid until its
// reader reads the next one. Reading keeps every buffer's capacity, so a
// folder of records is read with flat memory.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace line {

using Text = std::string_view;
using NullableText = std::optional<std::string_view>;

struct Measurement {
  Text name;
  double value = 0;
  Text unit;
  std::optional<double> low;
  std::optional<double> high;
  NullableText outcome;  // "pass" or "fail"; none without limits
};

struct TestRow {
  Text name;
  Text status;  // "-", "Running", "Passed", "Warning", "Error", "Fatal"
  Text details;
  int64_t durationMs = 0;
  NullableText cause;
  size_t firstMeasurement = 0;  // into Record::measurements
  size_t measurementCount = 0;
};

struct UpgradeStep {
  Text name;
  int64_t durationMs = 0;
};

struct Upgrade {
  Text imageName;
  std::optional<int64_t> imageSize;
  NullableText imageSha256;
  NullableText firmwareBefore, bootloaderBefore, firmwareAfter, bootloaderAfter;
  int64_t pagesWritten = 0;
  std::optional<int64_t> code;
  std::vector<UpgradeStep> steps;
};

struct Record {
  Text id;
  Text program;  // "qxstation" or "qxtest"
  Text version;
  NullableText build;
  Text host;
  NullableText station;
  NullableText mask;
  int64_t startMs = 0;  // milliseconds since 1970, UTC
  int64_t endMs = 0;
  Text result;  // "passed", "failed", "aborted"
  NullableText cause;
  std::optional<int64_t> serialNumber;
  NullableText mac, deviceName, edition, firmware, bootloader;
  std::optional<int64_t> jigType, jigCode;
  bool hasJigValues = false;
  double jigValues[6] = {};
  NullableText limits;
  std::vector<TestRow> tests;
  std::vector<Measurement> measurements;  // of all tests, in order
  bool hasUpgrade = false;
  Upgrade upgrade;

  // The station the line files the run under: its name; for a run chosen by
  // its mask "mask-0x..."; for an upgrade without a station "upgrade".
  std::string StationKey() const;
};

// Records above this size are refused unread.
constexpr size_t kMaxRecordBytes = 16 * 1024 * 1024;

enum class ReadResult {
  kRead,
  kRefused,  // not a record of the schema, or not readable
  kGone,     // nothing at the path (any more)
};

class RecordReader {
 public:
  RecordReader();
  ~RecordReader();
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  // Reads the file at path into *record. On refusal returns false and sets
  // *reason to a text that names the field ("tests[2].measurements[0].low:
  // not a number or null") or what kept the file from being read.
  ReadResult Read(const std::string& path, Record* record, std::string* reason);
  // The same for a document already in memory.
  bool Parse(std::string_view json, Record* record, std::string* reason);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// "YYYY-MM-DDTHH:MM:SS.mmmZ" as milliseconds since 1970; false when the text
// is not such a time (or names no real day).
bool ParseUtcMs(std::string_view text, int64_t* ms);
// Milliseconds since 1970 as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string FormatUtcMs(int64_t ms);

}  // namespace line
