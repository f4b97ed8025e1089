#include "line/record_builder.h"

#include <nlohmann/json.hpp>

#include "line/record.h"

namespace line {

namespace {

using Json = nlohmann::ordered_json;

template <typename T>
Json Nullable(const std::optional<T>& v) {
  return v ? Json(*v) : Json(nullptr);
}

std::string Outcome(const MeasurementSpec& m) {
  if (m.outcome) return *m.outcome;
  bool inside = (!m.low || m.value >= *m.low) && (!m.high || m.value <= *m.high);
  return inside ? "pass" : "fail";
}

}  // namespace

namespace {

Json TestsJson(const RunSpec& r) {
  Json tests = Json::array();
  for (const TestSpec& t : r.tests) {
    Json ms = Json::array();
    for (const MeasurementSpec& m : t.measurements) {
      bool limited = m.low || m.high;
      ms.push_back({{"name", m.name},
                    {"value", m.value},
                    {"unit", m.unit},
                    {"low", Nullable(m.low)},
                    {"high", Nullable(m.high)},
                    {"outcome", limited ? Json(Outcome(m)) : Json(nullptr)}});
    }
    tests.push_back({{"name", t.name},
                     {"status", t.status},
                     {"details", t.details},
                     {"durationMs", t.durationMs},
                     {"cause", Nullable(t.cause)},
                     {"measurements", ms}});
  }
  return tests;
}

Json DeviceJson(const RunSpec& r, bool upgrade) {
  std::optional<std::string> mac, name;
  if (r.serialNumber) {
    char text[24];
    int64_t s = *r.serialNumber;
    std::snprintf(text, sizeof text, "00.80.2F.%02X.%02X.%02X",
                  static_cast<unsigned>((s >> 16) & 0xFF), static_cast<unsigned>((s >> 8) & 0xFF),
                  static_cast<unsigned>(s & 0xFF));
    mac = text;
    name = "Z5-" + std::to_string(s);
  }
  Json device = {{"serialNumber", Nullable(r.serialNumber)},
                 {"mac", upgrade ? Json(nullptr) : Nullable(mac)},
                 {"name", upgrade ? Json(nullptr) : Nullable(name)},
                 {"edition", r.edition},
                 {"firmware", r.firmware},
                 {"bootloader", "0.8900"}};
  return device;
}

Json UpgradeJson(const RunSpec& r) {
  const UpgradeSpec& u = *r.upgrade;
  bool passed = r.result == "passed";
  Json steps = Json::array();
  for (const auto& s : u.steps) steps.push_back({{"name", s.first}, {"durationMs", s.second}});
  return {{"image", {{"name", u.imageName}, {"size", u.imageSize}, {"sha256", u.sha256}}},
          {"before", {{"firmware", u.firmwareBefore}, {"bootloader", u.bootloader}}},
          {"after",
           {{"firmware", passed ? Json(u.firmwareAfter) : Json(nullptr)},
            {"bootloader", passed ? Json(u.bootloader) : Json(nullptr)}}},
          {"pagesWritten", u.pagesWritten},
          {"code", Nullable(u.code)},
          {"steps", steps}};
}

}  // namespace

std::string RecordJson(const RunSpec& r) {
  bool upgrade = r.upgrade.has_value();
  Json tests = TestsJson(r);
  Json jig = {{"type", nullptr}, {"code", nullptr}, {"values", nullptr}};
  if (r.jig)
    jig = {{"type", 3}, {"code", 17}, {"values", {5.012, 2.4981, 0.99976, 1.0, 0.0, 10.0}}};
  Json device = DeviceJson(r, upgrade);
  Json out = {
      {"schema", {{"name", "qxtest-record"}, {"version", 2}}},
      {"id", r.id},
      {"program", upgrade ? "qxtest" : r.program},
      {"version", "0.12"},
      {"build", "4d0cb86"},
      {"host", r.host},
      {"station", Nullable(r.station)},
      {"mask", upgrade ? Json(nullptr) : Json(r.mask)},
      {"start", FormatUtcMs(r.startMs)},
      {"end", FormatUtcMs(std::max(r.endMs, r.startMs))},
      {"result", r.result},
      {"cause", Nullable(r.cause)},
      {"device", device},
      {"jig", upgrade ? Json{{"type", nullptr}, {"code", nullptr}, {"values", nullptr}} : jig},
      {"limits", upgrade ? Json(nullptr) : Json("3f2a9c41d07e5b18")},
      {"tests", tests}};
  if (upgrade) out["upgrade"] = UpgradeJson(r);
  return out.dump(2) + "\n";
}

std::string RecordFileName(const RunSpec& r) {
  std::string serial = r.serialNumber ? std::to_string(*r.serialNumber) : "no-serial";
  std::string station = r.upgrade ? "upgrade" : (r.station ? *r.station : "mask-" + r.mask);
  std::string stamp;
  for (char c : FormatUtcMs(r.startMs)) {
    if (c != '-' && c != ':') stamp += c;
  }
  return serial + "_" + station + "_" + stamp + ".json";
}

}  // namespace line
