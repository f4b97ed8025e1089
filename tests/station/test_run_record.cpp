// The record of a run: what the harness tells its observer, written as JSON
// and JUnit with the texts escaped; the console report is the same with or
// without a record; the named stations and the refusal of lists that cannot
// run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "harness/measure.h"
#include "platform/clock.h"
#include "platform/stop_request.h"
#include "station/run_record.h"
#include "station/station_table.h"
#include "station/stations.h"
#include "tests/support/temp_dir.h"

namespace {

platform::FakeClock* g_clock = nullptr;

uint32_t PassIn250(TestContext* c) {
  g_clock->Advance(250);
  c->serialNumber = 470010042;
  Measure(c, "Vs", 5.0360000133514404, "V", 4.7, 5.5);
  Report(c, "Is", 0.1, "A");
  c->EL = kLevelPassed;
  TextCopy(c->Msg, "Serial Number: 470010042");
  return 0;
}

uint32_t WarnWithAwkwardText(TestContext* c) {
  g_clock->Advance(1750);
  c->EL = kLevelWarning;
  TextCopy(c->Msg, "a \"b\" <c> & d\\e\tf\x01g\xE9");
  TextCopy(c->recordNote, "step \"x\"");
  return 1;
}

uint32_t FatalAtOnce(TestContext* c) {
  SetFailureSource(c, kSourceServer);
  c->EL = kLevelFatal;
  TextCopy(c->Msg, "Comm Error: (1000)");
  return 1;
}

uint32_t FillThree(TestContext* context, TestRecord* list) {
  const char* names[] = {"Serial Number", "Odd <Text>", "Fatal One", "Never Run"};
  TestFunction tests[] = {PassIn250, WarnWithAwkwardText, FatalAtOnce, PassIn250};
  for (int i = 0; i < 4; ++i) {
    list[i].name = names[i];
    list[i].test = tests[i];
  }
  context->testCount = 4;
  return 0;
}

// Undoes the first test's work, then meets a terminate request.
int g_releases = 0;
void CountRelease(ServerLink*) { ++g_releases; }
uint32_t UndoThenStopped(TestContext* c) {
  static int link = 0;
  SetServer(c, reinterpret_cast<ServerLink*>(&link), CountRelease);
  c->undoneTest = "Serial Number";
  TextCopy(c->undoneNote, "page erased");
  platform::RequestStop(platform::kStopTerminate);
  c->EL = kLevelFatal;
  TextCopy(c->Msg, "Comm Error: (1509)");
  return 1;
}

uint32_t FillStopped(TestContext* context, TestRecord* list) {
  const char* names[] = {"Serial Number", "Cut", "Never Run"};
  TestFunction tests[] = {PassIn250, UndoThenStopped, PassIn250};
  for (int i = 0; i < 3; ++i) {
    list[i].name = names[i];
    list[i].test = tests[i];
  }
  context->testCount = 3;
  return 0;
}

const DeviceTypeEntry kTypes[] = {
    {"FillThree", 7, FillThree}, {"FillStopped", 8, FillStopped}, {nullptr, 0, nullptr}};

class Recorder : public ReportSink {
 public:
  void Show(const char* text, size_t length) override { all.append(text, length); }
  std::string all;
};

class RunRecordTest : public ::testing::Test {
 protected:
  void SetUp() override { g_clock = &clock_; }
  void TearDown() override { g_clock = nullptr; }
  // 2024-02-29T23:59:58Z: the run crosses into March.
  platform::FakeClock clock_{5000, 1709251198};
  platform::ScopedClock scoped_{&clock_};
};

TEST_F(RunRecordTest, ARunIsRecordedAsJsonAndJUnitWithoutChangingTheReport) {
  Recorder plain;
  {
    TestHarness harness(7, 0x711E0, 0, &plain, kTypes);
    harness.Run();
  }
  clock_ = platform::FakeClock(5000, 1709251198);
  Recorder recorded;
  RunRecord record("calibration", 0x711E0);
  TestHarness harness(7, 0x711E0, 0, &recorded, kTypes);
  harness.AddObserver(&record);
  harness.Run();
  EXPECT_EQ(plain.all, recorded.all) << "a record must not change the console";
  EXPECT_EQ(std::string::npos, recorded.all.find("step")) << "a record note is the record's only";

  // Field by field: the document's order and layout are the library's.
  const nlohmann::json json = nlohmann::json::parse(record.ToJson());
  EXPECT_EQ(nlohmann::json::parse(R"({"name": "qxtest-record", "version": 2})"), json["schema"]);
  for (const auto& [field, value] :
       std::vector<std::pair<const char*, nlohmann::json>>{{"program", "qxstation"},
                                                           {"version", "0.12"},
                                                           {"station", "calibration"},
                                                           {"mask", "0x711E0"},
                                                           {"start", "2024-02-29T23:59:58.000Z"},
                                                           {"end", "2024-03-01T00:00:00.000Z"},
                                                           {"result", "failed"},
                                                           {"cause", "device"},
                                                           {"id", record.id()},
                                                           {"limits", LimitsFingerprint()}}) {
    EXPECT_EQ(value, json[field]) << field;
  }
  EXPECT_EQ(470010042, json["device"]["serialNumber"]);
  EXPECT_TRUE(json["jig"]["values"].is_null()) << "no jig was read";
  const nlohmann::json& tests = json["tests"];
  ASSERT_EQ(4u, tests.size());
  EXPECT_EQ(nlohmann::json::parse(R"([
    {"name": "Vs", "value": 5.0360000133514404, "unit": "V", "low": 4.7, "high": 5.5,
     "outcome": "pass"},
    {"name": "Is", "value": 0.1, "unit": "A", "low": null, "high": null, "outcome": null}])"),
            tests[0]["measurements"]);
  EXPECT_EQ(250, tests[0]["durationMs"]);
  EXPECT_TRUE(tests[0]["cause"].is_null());
  EXPECT_EQ("a \"b\" <c> & d\\e\tf\x01g\xC3\xA9", tests[1]["details"]) << "Latin-1 as UTF-8";
  EXPECT_EQ("step \"x\"", tests[1]["note"]);
  EXPECT_EQ("device", tests[1]["cause"]) << "a warning without another source is the device's";
  EXPECT_EQ("server", tests[2]["cause"]);
  EXPECT_EQ(nlohmann::json::parse(R"({"name": "Never Run", "status": "-", "details": "",
      "durationMs": 0, "cause": null, "measurements": []})"),
            tests[3]);
  EXPECT_NE(record.id(), RunRecord("", 0).id()) << "every record its own id";

  std::string xml = record.ToJUnit();
  for (const char* piece : {
           "<testsuites>\n  <testsuite package=\"qxstation\" id=\"0\" name=\"calibration\" "
           "timestamp=\"2024-02-29T23:59:58\" hostname=\"",
           "\" tests=\"3\" failures=\"2\" errors=\"0\" time=\"2.000\">",
           "<testcase classname=\"qxstation.calibration\" name=\"Odd &lt;Text&gt;\" "
           "time=\"1.750\">\n      <failure type=\"Warning\" message=\"a &quot;b&quot; &lt;c&gt; "
           "&amp; d\\e&#9;f\xEF\xBF\xBDg\xC3\xA9\">",
           "<failure type=\"Fatal\" message=\"Comm Error: (1000)\">",
           "<property name=\"serialNumber\" value=\"470010042\"/>",
           "<property name=\"notRun\" value=\"1\"/>",
           "<system-out>Serial Number: Passed: Serial Number: 470010042\n"
           "measurement;Serial Number;Vs;5.0360000133514404;V;4.7000000000000002;5.5;pass\n"
           "measurement;Serial Number;Is;0.10000000000000001;A;-;-;-\nOdd &lt;Text&gt;: "
           "Warning: a &quot;b&quot;",
           "Fatal One: Fatal: Comm Error: (1000)\nNever Run: not run\n</system-out>\n"
           "    <system-err></system-err>\n  </testsuite>\n</testsuites>\n",
       }) {
    EXPECT_NE(std::string::npos, xml.find(piece)) << piece << "\n" << xml;
  }
  EXPECT_EQ(std::string::npos, xml.find("name=\"Never Run\"")) << "a test that did not run";
  EXPECT_EQ("470010042_calibration_20240229T235958Z", record.BaseName());
}

// A stop request ends the run after the test that met it: the rest keep
// "-", the server link goes at once, and both records say "aborted"; a test
// whose work a later one undid is not kept as passed.
TEST_F(RunRecordTest, AStoppedRunIsRecordedAsAborted) {
  Recorder shown;
  RunRecord record("calibration", 0x711E0);
  TestHarness harness(8, 0x711E0, 0, &shown, kTypes);
  harness.AddObserver(&record);
  g_releases = 0;
  EXPECT_EQ(kHarnessAborted, harness.Run());
  platform::ClearStopRequests();
  EXPECT_TRUE(harness.aborted());
  EXPECT_FALSE(harness.passed());
  EXPECT_EQ(1, g_releases);
  EXPECT_EQ(kLevelNotRun, harness.list()[2].status);
  EXPECT_NE(std::string::npos, shown.all.rfind("Overall Result:           ** Aborted **\r\n"));
  const nlohmann::json json = nlohmann::json::parse(record.ToJson());
  EXPECT_EQ("aborted", json["result"]);
  EXPECT_EQ("aborted", json["cause"]);
  const nlohmann::json& tests = json["tests"];
  ASSERT_EQ(3u, tests.size());
  EXPECT_EQ("Error", tests[0]["status"]);
  EXPECT_EQ("link", tests[0]["cause"]) << "undone by a later page update";
  EXPECT_EQ("page erased", tests[0]["note"]);
  EXPECT_EQ("the run was stopped on request (terminate)", tests[1]["note"]);
  EXPECT_EQ("aborted", tests[1]["cause"]);
  EXPECT_EQ("-", tests[2]["status"]);
  const std::string xml = record.ToJUnit();
  EXPECT_NE(std::string::npos, xml.find("<property name=\"result\" value=\"aborted\"/>")) << xml;
  EXPECT_NE(std::string::npos, xml.find("<property name=\"notRun\" value=\"1\"/>")) << xml;
}

TEST_F(RunRecordTest, RecordsOfTheSameNameAreKeptSideBySide) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  RunRecord record("", 0x400);
  TestHarness harness(7, 0x400, 1, nullptr, kTypes);
  harness.AddObserver(&record);
  harness.Run();
  std::string first;
  std::string second;
  ASSERT_EQ(0, WriteRunRecord(dir.path(), record, &first));
  ASSERT_EQ(0, WriteRunRecord(dir.path(), record, &second));
  EXPECT_EQ(dir.path() + "/470010042_mask-0x400_20240229T235958Z.json", first);
  EXPECT_EQ(dir.path() + "/470010042_mask-0x400_20240229T235958Z-2.json", second);
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    names.push_back(e.path().filename().string());
  }
  EXPECT_EQ(2u, names.size()) << "no claim or temporary file left behind";
  std::ifstream in(second);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(record.ToJson(), text);
  // A failed write still names its path and keeps the system's reason.
  int osError = 0;
  EXPECT_NE(0, WriteRunRecord(dir.File("gone"), record, &first, &osError));
  EXPECT_EQ(dir.File("gone") + "/470010042_mask-0x400_20240229T235958Z.json", first);
  EXPECT_NE(0, osError);
}

TEST(UtcTextTest, SecondsBecomeCivilDates) {
  EXPECT_EQ("1970-01-01T00:00:00Z", UtcText(0));
  EXPECT_EQ("2000-02-29T12:34:56Z", UtcText(951827696));
  EXPECT_EQ("2100-03-01T00:00:00Z", UtcText(4107542400));
  EXPECT_EQ("1969-12-31T23:59:59Z", UtcText(-1));
  EXPECT_EQ("2000-02-29T12:34:56.007Z", UtcMsText(951827696007));
  EXPECT_EQ("1969-12-31T23:59:59.999Z", UtcMsText(-1));
}

TEST(StationsTest, NamedStationsAndTheListsThatAreRefused) {
  struct Case {
    const char* station;
    uint32_t mask;
    uint32_t tests;  // rows the mask selects from the station's table
    const char* refusal;
    uint32_t needs;  // of the bench, besides the device
  } cases[] = {
      {"usb-check", 0x400, 1, nullptr, 0},
      {"no-jig", 0x810140, 13, nullptr, kNeedsServer},
      {"calibration", 0x711E0, 20, nullptr, kNeedsServer | kNeedsMeter},
      {"final", 0x70000, 18, nullptr, kNeedsServer},
      {nullptr, 0x4000, 0, "mask 0x4000 selects no test", 0},
      {nullptr, 0x20000, 4, "do not start with \"Open Quenlox\"", 0},
      {nullptr, 0x20480, 6, nullptr, kNeedsMeter},  // Calibrate without the server
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mask);
    if (c.station != nullptr) {
      ASSERT_NE(nullptr, FindStation(c.station));
      EXPECT_EQ(c.mask, FindStation(c.station)->mask);
    }
    TestContext context;
    context.mask = c.mask;
    TestRecord list[kMaxTests];
    ASSERT_EQ(0u, GetTestList(&context, list));
    EXPECT_EQ(c.tests, context.testCount);
    uint32_t needs = 0;
    for (uint32_t i = 0; i < context.testCount; ++i) needs |= BenchNeeds(list[i].test);
    EXPECT_EQ(c.needs, needs);
    char reason[kTextCapacity];
    const char* refused = RefuseTestList(list, context.testCount, c.mask, reason, sizeof reason);
    if (c.refusal == nullptr) {
      EXPECT_EQ(nullptr, refused) << refused;
    } else {
      ASSERT_NE(nullptr, refused);
      EXPECT_NE(std::string::npos, std::string(refused).find(c.refusal)) << refused;
    }
  }
  EXPECT_EQ(nullptr, FindStation("calib"));
}

}  // namespace
