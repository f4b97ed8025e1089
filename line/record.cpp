#include "line/record.h"

#include <simdjson.h>

#include <cstdio>
#include <initializer_list>

#include "base/utc_time.h"
#include "platform/file_system.h"
#include "platform/status.h"

namespace line {

namespace {

using simdjson::dom::array;
using simdjson::dom::element;
using simdjson::dom::object;

// Where a field sits in the record, made into text only when it is refused
// (the checks run for every field of every record).
struct Path {
  const Path* parent = nullptr;
  std::string_view key;  // empty for an array item
  size_t index = 0;

  std::string Text() const {
    std::string out = parent != nullptr ? parent->Text() : std::string();
    if (key.empty()) return out + "[" + std::to_string(index) + "]";
    if (!out.empty()) out += ".";
    return out + std::string(key);
  }
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpperHex(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F'); }
bool IsLowerHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f'); }

bool IdText(std::string_view t) {
  if (t.empty() || t.size() > 128) return false;
  for (char c : t) {
    bool ok = IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' ||
              c == '_' || c == ':' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool MaskText(std::string_view t) {
  if (t.size() < 3 || t.size() > 10 || t[0] != '0' || t[1] != 'x') return false;
  for (char c : t.substr(2)) {
    if (!IsUpperHex(c)) return false;
  }
  return true;
}

// "1.0300": digits, a point, digits.
bool VersionText(std::string_view t) {
  size_t point = t.find('.');
  if (point == 0 || point == std::string_view::npos || point + 1 == t.size()) return false;
  for (size_t i = 0; i < t.size(); ++i) {
    if (i != point && !IsDigit(t[i])) return false;
  }
  return true;
}

bool MacText(std::string_view t) {
  if (t.size() != 17) return false;
  for (size_t i = 0; i < t.size(); ++i) {
    if (i % 3 == 2 ? t[i] != '.' : !IsUpperHex(t[i])) return false;
  }
  return true;
}

bool LowerHexText(std::string_view t, size_t min, size_t max) {
  if (t.size() < min || t.size() > max) return false;
  for (char c : t) {
    if (!IsLowerHex(c)) return false;
  }
  return true;
}

bool OneOf(std::string_view t, std::initializer_list<std::string_view> names) {
  for (std::string_view n : names) {
    if (t == n) return true;
  }
  return false;
}

bool IsCause(std::string_view t) {
  return OneOf(t, {"device", "link", "instrument", "server", "station", "aborted"});
}
constexpr const char* kCauseText =
    "not one of \"device\", \"link\", \"instrument\", \"server\", \"station\", \"aborted\"";

// The checks of one record; the first refusal sets the reason and ends it.
class Checker {
 public:
  explicit Checker(std::string* reason) : reason_(reason) {}

  bool Fail(const Path& at, const std::string& what) {
    *reason_ = at.Text() + ": " + what;
    return false;
  }

  // Text columns cannot hold a NUL character in every database.
  bool NoNul(const Path& at, std::string_view text) {
    if (text.find('\0') != std::string_view::npos) return Fail(at, "contains a NUL character");
    return true;
  }

  bool Get(const object& o, const Path& at, element* out) {
    auto found = o[at.key];
    if (found.error() == simdjson::NO_SUCH_FIELD) return Fail(at, "missing");
    if (found.error()) return Fail(at, simdjson::error_message(found.error()));
    *out = found.value_unsafe();
    return true;
  }

  bool Object(const object& o, const Path& at, object* out) {
    element e;
    if (!Get(o, at, &e)) return false;
    if (e.get_object().get(*out)) return Fail(at, "not an object");
    return true;
  }

  bool String(const object& o, const Path& at, Text* out, bool mayBeEmpty = false) {
    element e;
    if (!Get(o, at, &e)) return false;
    if (e.get_string().get(*out)) return Fail(at, "not a string");
    if (!mayBeEmpty && out->empty()) return Fail(at, "empty");
    return NoNul(at, *out);
  }

  bool NullableString(const object& o, const Path& at, NullableText* out) {
    element e;
    if (!Get(o, at, &e)) return false;
    out->reset();
    if (e.is_null()) return true;
    std::string_view text;
    if (e.get_string().get(text)) return Fail(at, "not a string or null");
    *out = text;
    return NoNul(at, text);
  }

  // A nullable text that, when given, passes the check.
  bool NullableString(const object& o, const Path& at, NullableText* out, bool (*ok)(Text),
                      const char* expected) {
    if (!NullableString(o, at, out)) return false;
    if (*out && !ok(**out)) return Fail(at, std::string("not ") + expected + " or null");
    return true;
  }

  bool Enum(const object& o, const Path& at, Text* out,
            std::initializer_list<std::string_view> names, const char* expected) {
    if (!String(o, at, out, true)) return false;
    if (!OneOf(*out, names)) return Fail(at, expected);
    return true;
  }

  bool Cause(const object& o, const Path& at, NullableText* out) {
    if (!NullableString(o, at, out)) return false;
    if (*out && !IsCause(**out)) return Fail(at, std::string(kCauseText) + " or null");
    return true;
  }

  bool Number(const object& o, const Path& at, double* out) {
    element e;
    if (!Get(o, at, &e)) return false;
    if (!e.is_number() || e.get_double().get(*out)) return Fail(at, "not a number");
    return true;
  }

  bool NullableNumber(const object& o, const Path& at, std::optional<double>* out) {
    element e;
    if (!Get(o, at, &e)) return false;
    out->reset();
    if (e.is_null()) return true;
    double v = 0;
    if (!e.is_number() || e.get_double().get(v)) return Fail(at, "not a number or null");
    *out = v;
    return true;
  }

  bool NullableInteger(const object& o, const Path& at, std::optional<int64_t>* out, int64_t min) {
    element e;
    if (!Get(o, at, &e)) return false;
    out->reset();
    if (e.is_null()) return true;
    int64_t v = 0;
    if (!IntegerValue(e, &v) || v < min) {
      return Fail(at, "not an integer of at least " + std::to_string(min) + " or null");
    }
    *out = v;
    return true;
  }

  bool Integer(const object& o, const Path& at, int64_t* out, int64_t min) {
    element e;
    if (!Get(o, at, &e)) return false;
    if (!IntegerValue(e, out) || *out < min) {
      return Fail(at, "not an integer of at least " + std::to_string(min));
    }
    return true;
  }

  bool Utc(const object& o, const Path& at, int64_t* ms) {
    Text text;
    if (!String(o, at, &text, true)) return false;
    if (!ParseUtcMs(text, ms)) return Fail(at, "not a UTC time like \"2026-03-02T08:15:30.125Z\"");
    return true;
  }

  bool Array(const object& o, const Path& at, array* out) {
    element e;
    if (!Get(o, at, &e)) return false;
    if (e.get_array().get(*out)) return Fail(at, "not an array");
    return true;
  }

  // A strict object: only the fields named.
  bool OnlyFields(const object& o, const Path& at, std::initializer_list<std::string_view> names) {
    for (auto field : o) {
      if (!OneOf(field.key, names)) {
        return Fail(at, "unknown field \"" + std::string(field.key) + "\"");
      }
    }
    return true;
  }

 private:
  static bool IntegerValue(const element& e, int64_t* out) {
    // 3.0 is a number, not an integer, to the schema's validators too.
    return e.is_int64() && !e.get_int64().get(*out);
  }

  std::string* reason_;
};

bool ReadMeasurement(Checker& c, const object& o, const Path& at, Measurement* m) {
  if (!c.String(o, {&at, "name"}, &m->name) || !c.Number(o, {&at, "value"}, &m->value) ||
      !c.String(o, {&at, "unit"}, &m->unit, true) || !c.NullableNumber(o, {&at, "low"}, &m->low) ||
      !c.NullableNumber(o, {&at, "high"}, &m->high) ||
      !c.NullableString(o, {&at, "outcome"}, &m->outcome)) {
    return false;
  }
  if (!c.OnlyFields(o, at, {"name", "value", "unit", "low", "high", "outcome"})) return false;
  Path outcome{&at, "outcome"};
  bool limited = m->low || m->high;
  if (m->outcome && !OneOf(*m->outcome, {"pass", "fail"})) {
    return c.Fail(outcome, "not one of \"pass\", \"fail\" or null");
  }
  if (limited && !m->outcome) return c.Fail(outcome, "null, but the value has a limit");
  if (!limited && m->outcome) return c.Fail(outcome, "not null, but the value has no limit");
  if (m->low && m->high && *m->low > *m->high) return c.Fail({&at, "low"}, "above high");
  return true;
}

bool ReadTest(Checker& c, const object& o, const Path& at, Record* r) {
  TestRow& t = r->tests.back();
  array measurements;
  if (!c.String(o, {&at, "name"}, &t.name) ||
      !c.Enum(o, {&at, "status"}, &t.status,
              {"-", "Running", "Passed", "Warning", "Error", "Fatal"},
              "not one of \"-\", \"Running\", \"Passed\", \"Warning\", \"Error\", \"Fatal\"") ||
      !c.String(o, {&at, "details"}, &t.details, true) ||
      !c.Integer(o, {&at, "durationMs"}, &t.durationMs, 0) ||
      !c.Cause(o, {&at, "cause"}, &t.cause) || !c.Array(o, {&at, "measurements"}, &measurements)) {
    return false;
  }
  Path cause{&at, "cause"};
  if ((t.status == "-" || t.status == "Passed") && t.cause) {
    return c.Fail(cause, "not null, but the test did not fail");
  }
  if (OneOf(t.status, {"Warning", "Error", "Fatal"}) && !t.cause) {
    return c.Fail(cause, "null, but the test did not pass");
  }
  if (t.status == "Running" && t.cause != Text("aborted")) {
    return c.Fail(cause, "not \"aborted\", but the test was interrupted");
  }
  Path list{&at, "measurements"};
  if (t.status == "-" && measurements.size() > 0) {
    return c.Fail(list, "not empty, but the test did not run");
  }
  t.firstMeasurement = r->measurements.size();
  size_t index = 0;
  for (element item : measurements) {
    Path itemAt{&list, {}, index++};
    object m;
    if (item.get_object().get(m)) return c.Fail(itemAt, "not an object");
    r->measurements.emplace_back();
    if (!ReadMeasurement(c, m, itemAt, &r->measurements.back())) return false;
  }
  t.measurementCount = index;
  return true;
}

bool ReadVersions(Checker& c, const object& o, const Path& at, NullableText* firmware,
                  NullableText* bootloader) {
  object v;
  return c.Object(o, at, &v) &&
         c.NullableString(v, {&at, "firmware"}, firmware, VersionText,
                          "a version like \"1.0300\"") &&
         c.NullableString(v, {&at, "bootloader"}, bootloader, VersionText,
                          "a version like \"1.0300\"");
}

bool ReadUpgrade(Checker& c, const object& o, const Path& at, Upgrade* u) {
  object up, image;
  Path imageAt{&at, "image"};
  array steps;
  Path stepsAt{&at, "steps"};
  if (!c.Object(o, at, &up) || !c.Object(up, imageAt, &image) ||
      !c.String(image, {&imageAt, "name"}, &u->imageName) ||
      !c.NullableInteger(image, {&imageAt, "size"}, &u->imageSize, 0) ||
      !c.NullableString(
          image, {&imageAt, "sha256"}, &u->imageSha256,
          [](Text t) { return LowerHexText(t, 64, 64); }, "64 lower-case hex digits") ||
      !ReadVersions(c, up, {&at, "before"}, &u->firmwareBefore, &u->bootloaderBefore) ||
      !ReadVersions(c, up, {&at, "after"}, &u->firmwareAfter, &u->bootloaderAfter) ||
      !c.Integer(up, {&at, "pagesWritten"}, &u->pagesWritten, 0) || !c.Array(up, stepsAt, &steps)) {
    return false;
  }
  u->code.reset();
  element code;
  if (!up["code"].get(code) && !code.is_null()) {
    if (!c.NullableInteger(up, {&at, "code"}, &u->code, INT64_MIN)) return false;
  }
  size_t index = 0;
  for (element item : steps) {
    Path stepAt{&stepsAt, {}, index++};
    object s;
    if (item.get_object().get(s)) return c.Fail(stepAt, "not an object");
    u->steps.emplace_back();
    if (!c.String(s, {&stepAt, "name"}, &u->steps.back().name) ||
        !c.Integer(s, {&stepAt, "durationMs"}, &u->steps.back().durationMs, 0)) {
      return false;
    }
  }
  return true;
}

bool ReadDevice(Checker& c, const object& o, Record* r) {
  static const Path at{nullptr, "device"};
  object d;
  auto version = [](Text t) { return VersionText(t); };
  return c.Object(o, at, &d) && c.NullableInteger(d, {&at, "serialNumber"}, &r->serialNumber, 1) &&
         c.NullableString(d, {&at, "mac"}, &r->mac, MacText, "a MAC like \"00.80.2F.00.12.3C\"") &&
         c.NullableString(d, {&at, "name"}, &r->deviceName) &&
         c.NullableString(
             d, {&at, "edition"}, &r->edition, [](Text t) { return !t.empty(); }, "a text") &&
         c.NullableString(d, {&at, "firmware"}, &r->firmware, version,
                          "a version like \"1.0300\"") &&
         c.NullableString(d, {&at, "bootloader"}, &r->bootloader, version,
                          "a version like \"1.0300\"");
}

bool ReadJig(Checker& c, const object& o, Record* r) {
  static const Path at{nullptr, "jig"};
  static const Path valuesAt{&at, "values"};
  object j;
  element values;
  if (!c.Object(o, at, &j) || !c.NullableInteger(j, {&at, "type"}, &r->jigType, 0) ||
      !c.NullableInteger(j, {&at, "code"}, &r->jigCode, 0) || !c.Get(j, valuesAt, &values)) {
    return false;
  }
  r->hasJigValues = !values.is_null();
  if (!r->hasJigValues) return true;
  array list;
  if (values.get_array().get(list) || list.size() != 6) {
    return c.Fail(valuesAt, "not six numbers or null");
  }
  size_t i = 0;
  for (element v : list) {
    if (!v.is_number() || v.get_double().get(r->jigValues[i])) {
      return c.Fail({&valuesAt, {}, i}, "not a number");
    }
    ++i;
  }
  return true;
}

void Clear(Record* r) {
  std::vector<TestRow> tests = std::move(r->tests);
  std::vector<Measurement> measurements = std::move(r->measurements);
  std::vector<UpgradeStep> steps = std::move(r->upgrade.steps);
  tests.clear();
  measurements.clear();
  steps.clear();
  *r = Record();
  r->tests = std::move(tests);
  r->measurements = std::move(measurements);
  r->upgrade.steps = std::move(steps);
}

// The record's "schema" object: this reader's name and version.
bool ReadSchema(Checker& c, object& o) {
  static const Path schemaAt{nullptr, "schema"};
  object schema;
  Text schemaName;
  int64_t schemaVersion = 0;
  element schemaField;
  if (o["schema"].get(schemaField)) {
    return c.Fail(schemaAt, "missing (a record of version 1, or no record)");
  }
  if (!c.Object(o, schemaAt, &schema) || !c.String(schema, {&schemaAt, "name"}, &schemaName) ||
      !c.Integer(schema, {&schemaAt, "version"}, &schemaVersion, 0)) {
    return false;
  }
  if (schemaName != "qxtest-record") return c.Fail({&schemaAt, "name"}, "not \"qxtest-record\"");
  if (schemaVersion != 2) {
    return c.Fail({&schemaAt, "version"},
                  "is " + std::to_string(schemaVersion) + ", this reader reads version 2");
  }
  if (!c.OnlyFields(schema, schemaAt, {"name", "version"})) return false;

  return true;
}

// The record's tests, each in its own row.
bool ReadTests(Checker& c, object& o, Record* r) {
  static const Path testsAt{nullptr, "tests"};
  array tests;
  if (!c.Array(o, testsAt, &tests)) return false;
  size_t index = 0;
  for (element item : tests) {
    Path at{&testsAt, {}, index++};
    object t;
    if (item.get_object().get(t)) return c.Fail(at, "not an object");
    r->tests.emplace_back();
    if (!ReadTest(c, t, at, r)) return false;
  }
  return true;
}

bool ReadRecord(const element& root, Record* r, std::string* reason) {
  Checker c(reason);
  Clear(r);
  object o;
  if (root.get_object().get(o)) {
    *reason = "not a JSON object";
    return false;
  }
  if (!ReadSchema(c, o)) return false;

  using P = Path;
  if (!c.String(o, P{nullptr, "id"}, &r->id)) return false;
  if (!IdText(r->id)) return c.Fail(P{nullptr, "id"}, "not 1 to 128 of A-Z a-z 0-9 . _ : -");
  if (!c.Enum(o, P{nullptr, "program"}, &r->program, {"qxstation", "qxtest"},
              "not one of \"qxstation\", \"qxtest\"") ||
      !c.String(o, P{nullptr, "version"}, &r->version) ||
      !c.NullableString(
          o, P{nullptr, "build"}, &r->build, [](Text t) { return !t.empty(); }, "a text") ||
      !c.String(o, P{nullptr, "host"}, &r->host) ||
      !c.NullableString(
          o, P{nullptr, "station"}, &r->station, [](Text t) { return !t.empty(); }, "a text") ||
      !c.NullableString(o, P{nullptr, "mask"}, &r->mask, MaskText, "a mask like \"0x840400\"") ||
      !c.Utc(o, P{nullptr, "start"}, &r->startMs) || !c.Utc(o, P{nullptr, "end"}, &r->endMs) ||
      !c.Enum(o, P{nullptr, "result"}, &r->result, {"passed", "failed", "aborted"},
              "not one of \"passed\", \"failed\", \"aborted\"") ||
      !c.Cause(o, P{nullptr, "cause"}, &r->cause) || !ReadDevice(c, o, r) || !ReadJig(c, o, r) ||
      !c.NullableString(
          o, P{nullptr, "limits"}, &r->limits, [](Text t) { return LowerHexText(t, 8, 128); },
          "8 to 128 lower-case hex digits")) {
    return false;
  }
  if (r->endMs < r->startMs) return c.Fail(P{nullptr, "end"}, "before start");
  bool passed = r->result == "passed";
  if (passed && r->cause) return c.Fail(P{nullptr, "cause"}, "not null, but the run passed");
  if (!passed && !r->cause) return c.Fail(P{nullptr, "cause"}, "null, but the run did not pass");

  bool upgrade = r->program == "qxtest";
  element upgradeField;
  bool hasUpgrade = !o["upgrade"].get(upgradeField);
  if (upgrade) {
    if (r->mask) return c.Fail(P{nullptr, "mask"}, "not null in an upgrade record");
  } else {
    if (!r->mask) return c.Fail(P{nullptr, "mask"}, "null in a station record");
    if (!r->limits) return c.Fail(P{nullptr, "limits"}, "null in a station record");
    if (hasUpgrade) return c.Fail(P{nullptr, "upgrade"}, "present in a station record");
  }

  if (!ReadTests(c, o, r)) return false;
  if (upgrade) {
    r->hasUpgrade = true;
    if (!ReadUpgrade(c, o, P{nullptr, "upgrade"}, &r->upgrade)) return false;
  }
  return true;
}

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  // Howard Hinnant's days_from_civil: proleptic Gregorian calendar.
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

std::string Record::StationKey() const {
  if (station) return std::string(*station);
  if (mask) return "mask-" + std::string(*mask);
  return "upgrade";
}

struct RecordReader::Impl {
  simdjson::dom::parser parser{kMaxRecordBytes};
  std::string buffer;  // the file, with simdjson's padding after it
};

RecordReader::RecordReader() : impl_(new Impl) {}
RecordReader::~RecordReader() = default;

ReadResult RecordReader::Read(const std::string& path, Record* record, std::string* reason) {
  std::FILE* f = nullptr;
  int osError = 0;
  int opened = platform::OpenRegularFile(path.c_str(), &f, &osError);
  if (opened == platform::kNotFound) {
    *reason = "not found";
    return ReadResult::kGone;
  }
  if (opened != platform::kOk) {
    char text[128];
    *reason =
        opened == platform::kNotRegular
            ? "not a regular file"
            : std::string("cannot be opened: ") + platform::OsErrorText(osError, text, sizeof text);
    return ReadResult::kRefused;
  }
  std::string& b = impl_->buffer;
  b.clear();
  char chunk[65536];
  size_t n = 0;
  bool tooLarge = false;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    if (b.size() + n > kMaxRecordBytes) {
      tooLarge = true;
      break;
    }
    b.append(chunk, n);
  }
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    *reason = "cannot be read";
    return ReadResult::kRefused;
  }
  if (tooLarge) {
    *reason = "larger than " + std::to_string(kMaxRecordBytes / (1024 * 1024)) + " MiB";
    return ReadResult::kRefused;
  }
  return Parse(b, record, reason) ? ReadResult::kRead : ReadResult::kRefused;
}

bool RecordReader::Parse(std::string_view json, Record* record, std::string* reason) {
  std::string& b = impl_->buffer;
  if (json.data() != b.data()) b.assign(json.data(), json.size());
  size_t length = b.size();
  b.resize(length + simdjson::SIMDJSON_PADDING, ' ');
  element root;
  auto error = impl_->parser.parse(b.data(), length, false).get(root);
  if (error) {
    *reason = std::string("not JSON: ") + simdjson::error_message(error);
    return false;
  }
  return ReadRecord(root, record, reason);
}

bool ParseUtcMs(std::string_view t, int64_t* ms) {
  // 2026-03-02T08:15:30.125Z
  static const char kShape[] = "dddd-dd-ddTdd:dd:dd.dddZ";
  if (t.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < t.size(); ++i) {
    if (kShape[i] == 'd' ? !IsDigit(t[i]) : t[i] != kShape[i]) return false;
  }
  auto num = [&t](size_t at, size_t n) {
    int64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v * 10 + (t[at + i] - '0');
    return v;
  };
  int64_t y = num(0, 4), mo = num(5, 2), d = num(8, 2), h = num(11, 2), mi = num(14, 2),
          s = num(17, 2), milli = num(20, 3);
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || h > 23 || mi > 59 || s > 59) return false;
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (mo == 2 && d == 29 && !leap) return false;
  *ms = ((DaysFromCivil(y, mo, d) * 24 + h) * 60 + mi) * 60000 + s * 1000 + milli;
  return true;
}

std::string FormatUtcMs(int64_t ms) { return UtcMsText(ms); }

}  // namespace line
