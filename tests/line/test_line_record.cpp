// Reading records: the sample records are read whole; each breach of the
// schema is refused with the field named, and the schema's own validator
// refuses the same documents; the UTC times of the records.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "line/record.h"
#include "tests/line/line_support.h"

namespace {

using Json = nlohmann::json;

std::string Fixture(const std::string& name) {
  std::ifstream in(SourceFile("tests/line/records/" + name + ".json"));
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(LineRecord, SampleRecordsAreReadWhole) {
  line::RecordReader reader;
  line::Record r;
  std::string reason;
  ASSERT_TRUE(reader.Parse(Fixture("station_passed"), &r, &reason)) << reason;
  EXPECT_EQ("5d0f6a3e-8d1b-4c52-9a57-0b1c2d3e4f01", r.id);
  EXPECT_EQ("calibration", r.StationKey());
  EXPECT_EQ(470012, r.serialNumber.value_or(0));
  EXPECT_EQ("00.80.2F.00.12.3C", r.mac.value_or(""));
  int64_t start = 0;
  ASSERT_TRUE(line::ParseUtcMs("2026-03-02T08:15:30.125Z", &start));
  EXPECT_EQ(start, r.startMs);
  EXPECT_EQ(start + 92515, r.endMs);
  ASSERT_TRUE(r.hasJigValues);
  EXPECT_DOUBLE_EQ(0.99976, r.jigValues[2]);
  ASSERT_EQ(4u, r.tests.size());
  ASSERT_EQ(5u, r.measurements.size());
  const line::TestRow& cal = r.tests[3];
  EXPECT_EQ(3u, cal.firstMeasurement);
  EXPECT_EQ(2u, cal.measurementCount);
  const line::Measurement& bias = r.measurements[4];
  EXPECT_EQ("I Bias", bias.name);
  EXPECT_DOUBLE_EQ(1.93e-08, bias.value);
  EXPECT_EQ(4e-08, bias.high.value_or(0));
  EXPECT_FALSE(r.measurements[1].low.has_value());
  EXPECT_FALSE(r.measurements[2].outcome.has_value());

  ASSERT_TRUE(reader.Parse(Fixture("station_aborted"), &r, &reason)) << reason;
  EXPECT_EQ("mask-0x840400", r.StationKey());
  EXPECT_FALSE(r.serialNumber.has_value());
  EXPECT_FALSE(r.hasJigValues);
  EXPECT_EQ("aborted", r.tests[1].cause.value_or(""));

  ASSERT_TRUE(reader.Parse(Fixture("upgrade_passed"), &r, &reason)) << reason;
  EXPECT_EQ("upgrade", r.StationKey());
  ASSERT_TRUE(r.hasUpgrade);
  EXPECT_EQ(120, r.upgrade.pagesWritten);
  EXPECT_EQ(9u, r.upgrade.steps.size());
  EXPECT_EQ("1.0200", r.upgrade.firmwareBefore.value_or(""));
  ASSERT_TRUE(reader.Parse(Fixture("station_failed"), &r, &reason)) << reason;
}

TEST(LineRecord, BreachesAreRefusedWithTheFieldNamed) {
  struct Breach {
    const char* fixture;
    const char* pointer;
    const char* value;  // JSON; null pointer: the field removed
    const char* reason;
    bool schemaToo;  // false: a rule the schema cannot state
  };
  const Breach breaches[] = {
      {"station_passed", "/schema", nullptr, "schema: missing (a record of version 1", true},
      {"station_passed", "/schema/version", "1",
       "schema.version: is 1, this reader reads version 2", true},
      {"station_passed", "/id", nullptr, "id: missing", true},
      {"station_passed", "/id", "\"two words\"", "id: not 1 to 128 of", true},
      {"station_passed", "/start", "\"2026-03-02T08:15:30Z\"", "start: not a UTC time", true},
      {"station_passed", "/end", "\"2026-03-02T08:00:00.000Z\"", "end: before start", false},
      {"station_passed", "/result", "\"pass\"", "result: not one of \"passed\"", true},
      {"station_passed", "/cause", "\"device\"", "cause: not null, but the run passed", true},
      {"station_failed", "/cause", "null", "cause: null, but the run did not pass", true},
      {"station_failed", "/cause", "\"operator\"", "cause: not one of \"device\"", true},
      {"station_passed", "/device/serialNumber", nullptr, "device.serialNumber: missing", true},
      {"station_passed", "/device/serialNumber", "\"470012\"",
       "device.serialNumber: not an integer", true},
      {"station_passed", "/device/mac", "\"00:80:2F:00:12:3C\"", "device.mac: not a MAC", true},
      {"station_passed", "/device/firmware", "1.03", "device.firmware: not a string or null", true},
      {"station_passed", "/jig/values", "[1, 2, 3]", "jig.values: not six numbers or null", true},
      {"station_passed", "/jig", "null", "jig: not an object", true},
      {"station_passed", "/mask", "null", "mask: null in a station record", true},
      {"station_passed", "/limits", "null", "limits: null in a station record", true},
      {"station_passed", "/upgrade", "{}", "upgrade: present in a station record", true},
      {"station_passed", "/tests/1/status", "\"Failed\"", "tests[1].status: not one of", true},
      {"station_passed", "/tests/1/cause", "\"device\"",
       "tests[1].cause: not null, but the test did not fail", true},
      {"station_failed", "/tests/1/cause", "null",
       "tests[1].cause: null, but the test did not pass", true},
      {"station_aborted", "/tests/1/cause", "null", "tests[1].cause: not \"aborted\"", true},
      {"station_passed", "/tests/1/durationMs", "-1",
       "tests[1].durationMs: not an integer of at least 0", true},
      {"station_passed", "/tests/1/details", "null", "tests[1].details: not a string", true},
      {"station_passed", "/tests/0/details", "\"a\\u0000b\"", "tests[0].details: contains a NUL",
       false},
      {"station_passed", "/tests/1/measurements/0/outcome", "null",
       "tests[1].measurements[0].outcome: null, but the value has a limit", true},
      {"station_passed", "/tests/2/measurements/0/outcome", "\"pass\"",
       "tests[2].measurements[0].outcome: not null, but the value has no limit", true},
      {"station_passed", "/tests/1/measurements/0/unit", nullptr,
       "tests[1].measurements[0].unit: missing", true},
      {"station_passed", "/tests/1/measurements/0/value", "\"5.03\"",
       "tests[1].measurements[0].value: not a number", true},
      {"station_passed", "/tests/1/measurements/0/nominal", "5",
       "tests[1].measurements[0]: unknown field \"nominal\"", true},
      {"station_passed", "/tests/1/measurements/0/low", "6",
       "tests[1].measurements[0].low: above high", false},
      {"station_aborted", "/tests/2/measurements",
       R"([{"name": "x", "value": 1, "unit": "", "low": null, "high": null, "outcome": null}])",
       "tests[2].measurements: not empty, but the test did not run", true},
      {"upgrade_passed", "/upgrade", nullptr, "upgrade: missing", true},
      {"upgrade_passed", "/upgrade/image/sha256", "\"9F86D0\"",
       "upgrade.image.sha256: not 64 lower-case", true},
      {"upgrade_passed", "/upgrade/steps/0/durationMs", "1.5",
       "upgrade.steps[0].durationMs: not an integer", true},
      {"upgrade_passed", "/mask", "\"0x840400\"", "mask: not null in an upgrade record", true},
  };
  TempDir dir;
  line::RecordReader reader;
  line::Record r;
  int schemaCases = 0;
  for (const Breach& b : breaches) {
    Json doc = Json::parse(Fixture(b.fixture));
    Json::json_pointer at(b.pointer);
    if (b.value == nullptr) {
      doc[at.parent_pointer()].erase(at.back());
    } else {
      doc[at] = Json::parse(b.value);
    }
    std::string text = doc.dump();
    std::string reason;
    EXPECT_FALSE(reader.Parse(text, &r, &reason))
        << b.pointer << " = " << (b.value ? b.value : "-");
    EXPECT_EQ(0u, reason.find(b.reason)) << b.pointer << ": " << reason;
    if (b.schemaToo) {
      std::ofstream(dir.File("breach" + std::to_string(schemaCases++) + ".json")) << text;
    }
  }
  std::string reason;
  EXPECT_FALSE(reader.Parse("{\"schema\": ", &r, &reason));
  EXPECT_EQ(0u, reason.find("not JSON: ")) << reason;
  // What the schema leaves open is read.
  Json open = Json::parse(Fixture("station_passed"));
  open["operator"] = "A. Tester";
  open["device"]["hardware"] = "rev B";
  EXPECT_TRUE(reader.Parse(open.dump(), &r, &reason)) << reason;

  ProgramRun schema =
      RunProgram({"/usr/bin/python3", SourceFile("tests/line/validate_records.py"),
                  SourceFile("schema/record.schema.json"), "--invalid", dir.path()});
  EXPECT_EQ(0, schema.status) << schema.out << schema.err;
  EXPECT_EQ(std::to_string(schemaCases) + " passed, 0 failed\n", schema.out);
}

TEST(LineRecord, UtcTimes) {
  struct Case {
    const char* text;
    bool ok;
    int64_t ms;
  };
  const Case cases[] = {
      {"1970-01-01T00:00:00.000Z", true, 0},
      {"2026-03-02T08:15:30.125Z", true, 1772439330125},
      {"2024-02-29T23:59:59.999Z", true, 1709251199999},
      {"2026-02-29T00:00:00.000Z", false, 0},
      {"2026-04-31T00:00:00.000Z", false, 0},
      {"2026-03-02T24:00:00.000Z", false, 0},
      {"2026-03-02T08:15:30.125+01:00", false, 0},
      {"2026-03-02 08:15:30.125Z", false, 0},
  };
  for (const Case& c : cases) {
    int64_t ms = -1;
    EXPECT_EQ(c.ok, line::ParseUtcMs(c.text, &ms)) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(c.ms, ms) << c.text;
    EXPECT_EQ(c.text, line::FormatUtcMs(ms));
  }
}

}  // namespace
