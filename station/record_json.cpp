// The run's record as JSON, version 2 of schema/record.schema.json, written
// through nlohmann-json: numbers round-trip exact, strings are escaped by a
// library that readers share.
#include "station/record_json.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <random>

#include "base/format_mac.h"
#include "base/text.h"
#include "base/version.h"
#include "harness/harness.h"
#include "qx_revision.h"
#include "station/run_record.h"
#include "station/station_table.h"

using nlohmann::json;

namespace {

std::string Hex(uint32_t value) {
  char text[16];
  TextFormat(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

json TextOrNull(const std::string& text) { return text.empty() ? json() : json(Utf8Text(text)); }

json MeasurementJson(const Measurement& m) {
  json out = json::object();
  out["name"] = Utf8Text(m.name);
  out["value"] = m.value;
  out["unit"] = m.unit;
  out["low"] = std::isnan(m.low) ? json() : json(m.low);
  out["high"] = std::isnan(m.high) ? json() : json(m.high);
  out["outcome"] =
      m.outcome == kOutcomeNone ? json() : json(m.outcome == kOutcomePass ? "pass" : "fail");
  return out;
}

}  // namespace

std::string Utf8Text(const std::string& text) {
  // The device's and the server's bytes are taken as Latin-1, as the JUnit
  // file takes them, so a record is always valid UTF-8.
  std::string out;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string RandomUuid() {
  std::random_device random;
  uint8_t bytes[16];
  for (size_t i = 0; i < sizeof bytes; i += 4) {
    const uint32_t word = random();
    for (size_t k = 0; k < 4; ++k) bytes[i + k] = static_cast<uint8_t>(word >> (8 * k));
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // the RFC 4122 variant
  std::string out;
  for (size_t i = 0; i < sizeof bytes; ++i) {
    char piece[4];
    TextFormat(piece, sizeof piece, "%02x", bytes[i]);
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += piece;
  }
  return out;
}

std::string VersionText() { return StationVersionText(); }

std::string BuildText() { return VersionText() + " " + QX_REVISION; }

std::string FourDecimals(double version) {
  char text[kPieceCapacity];
  TextFormat(text, sizeof text, "%.04f", version);
  return text;
}

json VersionOrNull(double version) {
  // The schema's form: digits, a point, digits.
  return std::isfinite(version) && version >= 0.0 && version < 1e9 ? json(FourDecimals(version))
                                                                   : json();
}

json RecordHead(const char* program, const std::string& id, const std::string& host,
                int64_t startMs, int64_t endMs, const char* result, const char* cause) {
  json out = json::object();
  out["schema"] = {{"name", "qxtest-record"}, {"version", 2}};
  out["id"] = id;
  out["program"] = program;
  out["version"] = VersionText();
  out["build"] = BuildText();
  out["host"] = host.empty() ? std::string("unknown") : Utf8Text(host);
  out["start"] = UtcMsText(startMs);
  out["end"] = UtcMsText(endMs);
  out["result"] = result;
  out["cause"] = cause != nullptr ? json(cause) : json();
  return out;
}

std::string RecordText(const json& record) {
  return record.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string RunRecord::ToJson() const {
  json out = RecordHead("qxstation", id_, hostName_, startMs_, endMs_, Result(), Cause());
  out["station"] = station_.empty() ? json() : json(station_);
  out["mask"] = Hex(mask_);
  json device = json::object();
  device["serialNumber"] = serialNumber_ > 0 ? json(serialNumber_) : json();
  if (identity_.hasMac) {
    uint8_t bytes[6];
    for (int i = 0; i < 6; ++i) bytes[i] = static_cast<uint8_t>(identity_.mac >> (8 * (5 - i)));
    char mac[kMacTextCapacity];
    FormatMac(bytes, mac);
    device["mac"] = mac;
  } else {
    device["mac"] = nullptr;
  }
  device["name"] = identity_.hasName ? json(Utf8Text(identity_.name)) : json();
  device["edition"] = identity_.editionKnown ? json(isMax_ ? "Z5-Max" : "Z5") : json();
  device["firmware"] = VersionOrNull(identity_.firmware);
  device["bootloader"] = VersionOrNull(identity_.bootloader);
  out["device"] = device;
  json jig = {{"type", nullptr}, {"code", nullptr}, {"values", nullptr}};
  if (identity_.jigRead) {
    jig["type"] = jigType_;
    jig["code"] = jigCode_;
    json values = json::array();
    for (double v : jigValues_) values.push_back(v);
    // JSON has no NaN: a jig value that is no number leaves the list unknown.
    bool finite = true;
    for (double v : jigValues_) finite = finite && std::isfinite(v);
    jig["values"] = finite ? values : json();
  }
  out["jig"] = jig;
  out["limits"] = LimitsFingerprint();
  json tests = json::array();
  for (const RecordedTest& t : tests_) {
    json test = json::object();
    test["name"] = Utf8Text(t.name);
    test["status"] = StatusName(t.status);
    test["details"] = Utf8Text(t.details);
    if (!t.note.empty()) test["note"] = TextOrNull(t.note);
    test["durationMs"] = t.durationMs;
    test["cause"] = t.cause != nullptr ? json(t.cause) : json();
    json measurements = json::array();
    for (const Measurement& m : t.measurements) measurements.push_back(MeasurementJson(m));
    test["measurements"] = measurements;
    tests.push_back(test);
  }
  out["tests"] = tests;
  return RecordText(out);
}
