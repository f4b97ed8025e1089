#include "station/run_record.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "base/text.h"
#include "base/version.h"
#include "harness/harness.h"
#include "harness/measure.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/settings.h"
#include "platform/status.h"

namespace {

// Latin-1 byte as UTF-8.
void AppendLatin1(std::string* out, unsigned char c) {
  *out += static_cast<char>(0xC0 | (c >> 6));
  *out += static_cast<char>(0x80 | (c & 0x3F));
}

std::string Hex(uint32_t value) {
  char text[16];
  TextFormat(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

std::string Seconds(uint64_t ms) {
  char text[kPieceCapacity];
  TextFormat(text, sizeof text, "%.3f", static_cast<double>(ms) / 1000.0);
  return text;
}

// The failure type of a status in JUnit, or null for a test that passed or
// did not run.
const char* FailureType(uint32_t status) {
  switch (status) {
    case kLevelWarning:
      return "Warning";
    case kLevelError:
      return "Error";
    case kLevelFatal:
      return "Fatal";
    case kLevelPassed:
    case kLevelNotRun:
      return nullptr;
    default:
      return "Unknown";  // a status no test should leave
  }
}

std::string Number(double value) {
  if (std::isnan(value)) return "-";
  char text[kPieceCapacity];
  TextFormat(text, sizeof text, "%.17g", value);
  return text;
}

// "measurement;TEST;NAME;VALUE;UNIT;LOW;HIGH;OUTCOME", "-" for what is not there.
std::string MeasurementLine(const std::string& test, const Measurement& m) {
  const char* outcome = m.outcome == kOutcomeNone   ? "-"
                        : m.outcome == kOutcomePass ? "pass"
                                                    : "fail";
  return "measurement;" + test + ";" + m.name + ";" + Number(m.value) + ";" + m.unit + ";" +
         Number(m.low) + ";" + Number(m.high) + ";" + outcome;
}

int64_t FloorSeconds(int64_t ms) { return ms >= 0 ? ms / 1000 : (ms - 999) / 1000; }

}  // namespace

RunRecord::RunRecord(std::string station, uint32_t mask)
    : station_(std::move(station)), mask_(mask), id_(RandomUuid()) {}

void RunRecord::RunStarted(const TestRecord* list, uint32_t count, const TestContext&) {
  char host[256];
  hostName_ = platform::HostName(host, sizeof host);
  startMs_ = platform::WallMs();
  endMs_ = startMs_;
  start_ = FloorSeconds(startMs_);
  end_ = start_;
  id_ = RandomUuid();
  identity_ = RecordedIdentity();
  passed_ = false;
  aborted_ = false;
  tests_.clear();
  for (uint32_t i = 0; i < count; ++i) {
    RecordedTest test;
    test.name = list[i].name != nullptr ? list[i].name : "";
    tests_.push_back(test);
  }
}

void RunRecord::TestStarted(uint32_t, const TestRecord&) { testStartMs_ = platform::TickMs(); }

void RunRecord::TestFinished(uint32_t index, const TestRecord& test, const TestContext& context) {
  if (index >= tests_.size()) return;
  RecordedTest& out = tests_[index];
  out.status = test.status;
  out.details = test.details;
  out.note = context.recordNote;
  out.durationMs = platform::TickMs() - testStartMs_;
  out.measurements = context.measurements;
  out.cause = CauseName(test.status, context.failureSource, false);
  Take(context);
}

void RunRecord::RunFinished(bool passed, const TestContext& context) {
  endMs_ = platform::WallMs();
  if (endMs_ < startMs_) endMs_ = startMs_;  // the wall clock was set back
  end_ = FloorSeconds(endMs_);
  passed_ = passed;
  Take(context);
}

void RunRecord::Take(const TestContext& context) {
  serialNumber_ = context.serialNumber;
  identity_ = context.identity;
  isMax_ = context.isMax != 0;
  jigType_ = context.jigType;
  jigCode_ = context.jigCode;
  for (int i = 0; i < 6; ++i) jigValues_[i] = context.jigValues[i];
}

const char* RunRecord::Cause() const {
  if (aborted_) return "aborted";
  if (passed_) return nullptr;
  for (const RecordedTest& t : tests_) {
    if (t.cause != nullptr) return t.cause;
  }
  return "station";  // failed without a test that failed: the station's own doing
}

void RunRecord::RunAborted(int, const TestContext& context) {
  RunFinished(false, context);
  aborted_ = true;
}

void RunRecord::TestUndone(uint32_t index, const char* note) {
  if (index >= tests_.size()) return;
  // What the test reported is no longer so on the device: the record does
  // not keep it as a pass.
  RecordedTest& t = tests_[index];
  if (t.status == kLevelPassed || t.status == kLevelWarning) {
    t.status = kLevelError;
    t.cause = "link";  // a later page update on the link failed after its erase
  }
  t.note = t.note.empty() ? note : t.note + "; " + note;
}

std::string RunRecord::ToJUnit() const {
  // Ant's format, as its strict readers take it: a test case only for each
  // test that ran (the format has no word for one that did not), and every
  // test's status and details in the suite's output.
  size_t ran = 0;
  size_t failures = 0;
  uint64_t totalMs = 0;
  std::string output;
  for (const RecordedTest& t : tests_) {
    if (t.status != kLevelNotRun) ++ran;
    if (FailureType(t.status) != nullptr) ++failures;
    totalMs += t.durationMs;
    // Escaped line by line, so that the output keeps its line ends.
    output +=
        XmlEscape(t.name + ": " + (t.status == kLevelNotRun ? "not run" : StatusName(t.status)) +
                  (t.details.empty() ? "" : ": " + t.details)) +
        "\n";
    for (const Measurement& m : t.measurements)
      output += XmlEscape(MeasurementLine(t.name, m)) + "\n";
  }
  std::string suite = station_.empty() ? "mask-" + Hex(mask_) : station_;
  std::string stamp = UtcText(start_);
  stamp.pop_back();  // JUnit's timestamp carries no zone; it is UTC
  const char* version = StationVersionText();

  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n";
  out += "  <testsuite package=\"qxstation\" id=\"0\" name=\"" + XmlEscape(suite) +
         "\" timestamp=\"" + stamp + "\" hostname=\"" + XmlEscape(hostName_) + "\" tests=\"" +
         std::to_string(ran) + "\" failures=\"" + std::to_string(failures) +
         "\" errors=\"0\" time=\"" + Seconds(totalMs) + "\">\n";
  out += "    <properties>\n";
  auto property = [&out](const char* name, const std::string& value) {
    out +=
        std::string("      <property name=\"") + name + "\" value=\"" + XmlEscape(value) + "\"/>\n";
  };
  property("serialNumber", serialNumber_ != 0 ? std::to_string(serialNumber_) : "");
  property("mask", Hex(mask_));
  property("start", UtcText(start_));
  property("end", UtcText(end_));
  property("result", Result());
  property("version", version);
  property("notRun", std::to_string(tests_.size() - ran));
  out += "    </properties>\n";
  for (const RecordedTest& t : tests_) {
    if (t.status == kLevelNotRun) continue;
    out += "    <testcase classname=\"qxstation." + XmlEscape(suite) + "\" name=\"" +
           XmlEscape(t.name) + "\" time=\"" + Seconds(t.durationMs) + "\"";
    const char* type = FailureType(t.status);
    if (type != nullptr) {
      out += ">\n      <failure type=\"" + std::string(type) + "\" message=\"" +
             XmlEscape(t.details) + "\">" + XmlEscape(t.details) + "</failure>\n    </testcase>\n";
    } else {
      out += "/>\n";
    }
  }
  out += "    <system-out>" + output + "</system-out>\n";
  out += "    <system-err></system-err>\n  </testsuite>\n</testsuites>\n";
  return out;
}

std::string RunRecord::BaseName() const {
  std::string serial = serialNumber_ != 0 ? std::to_string(serialNumber_) : "no-serial";
  std::string station = station_.empty() ? "mask-" + Hex(mask_) : station_;
  std::string stamp;
  for (char c : UtcText(start_)) {
    if (c != '-' && c != ':') stamp += c;
  }
  return serial + "_" + station + "_" + stamp;
}

std::string JsonEscape(const std::string& text) {
  std::string out;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char code[8];
          TextFormat(code, sizeof code, "\\u%04x", static_cast<unsigned>(c));
          out += code;
        } else {
          out += ch;
        }
    }
  }
  return out;
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '\t':
        out += "&#9;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        if (c < 0x20) {
          out += "\xEF\xBF\xBD";  // XML 1.0 has no way to carry these
        } else if (c >= 0x80) {
          AppendLatin1(&out, c);
        } else {
          out += ch;
        }
    }
  }
  return out;
}

int WriteRunRecord(const std::string& dir, const RunRecord& record, std::string* path,
                   int* osError) {
  return WriteRecordFile(dir + "/" + record.BaseName(), record.ToJson(), path, osError);
}

int WriteRecordFile(const std::string& base, const std::string& json, std::string* path,
                    int* osError) {
  if (path != nullptr) *path = base + ".json";
  // Stations may share the directory and start in the same second (devices
  // that failed before their serial number was read): a name is claimed
  // through an exclusive file beside it first, so no record replaces another.
  for (int n = 1; n < 1000; ++n) {
    std::string name = n == 1 ? base : base + "-" + std::to_string(n);
    std::string claim = name + ".claim";
    std::string target = name + ".json";
    if (path != nullptr) *path = target;
    int claimed = platform::CreateExclusively(claim.c_str(), osError);
    if (claimed == platform::kRefused) continue;
    if (claimed != platform::kOk) return claimed;
    if (platform::FileExists(target.c_str())) {
      platform::RemoveFile(claim.c_str());
      continue;
    }
    int status = platform::WriteFileAtomically(target.c_str(), json.data(), json.size(), osError);
    platform::RemoveFile(claim.c_str());
    return status;
  }
  return platform::kIoError;
}
