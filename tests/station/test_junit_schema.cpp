// The station's JUnit files against the strict reading of Ant's format
// (ant_junit.xsd beside this file), checked by a real validator: a run that
// passes, one that fails and one that a Fatal result cut short.
#include <gtest/gtest.h>

#include <string>

#include "harness/harness.h"
#include "platform/file.h"
#include "station/run_record.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

uint32_t Pass(TestContext* c) {
  c->EL = kLevelPassed;
  TextCopy(c->Msg, "Quenlox Z5 Found");
  return 0;
}

uint32_t Warn(TestContext* c) {
  c->EL = kLevelWarning;
  TextCopy(c->Msg, "Vs: <4.7V> & \"low\"\x01\xE9");
  return 1;
}

uint32_t Stop(TestContext* c) {
  c->EL = kLevelFatal;
  TextCopy(c->Msg, "Comm Error: (1014)");
  return 1;
}

// Device type 10 + kind: every test passes, the second warns, the third stops the run.
template <int kind>
uint32_t List(TestContext* context, TestRecord* list) {
  static const char* const kNames[4] = {"Open Quenlox", "Vs and Current", "Ethernet test",
                                        "Report Test Results"};
  static const TestFunction kTests[3][4] = {
      {Pass, Pass, Pass, Pass}, {Pass, Warn, Pass, Pass}, {Pass, Pass, Stop, Pass}};
  for (int i = 0; i < 4; ++i) {
    list[i].name = kNames[i];
    list[i].test = kTests[kind][i];
  }
  context->testCount = 4;
  return 0;
}

const DeviceTypeEntry kTypes[] = {
    {"Passes", 10, List<0>}, {"Fails", 11, List<1>}, {"Stops", 12, List<2>}, {nullptr, 0, nullptr}};

// xmllint's exit status for the file against the schema; what it said in *said.
int Validate(const std::string& schema, const std::string& file, std::string* said) {
  ChildProcess lint({"/usr/bin/xmllint", "--noout", "--schema", schema, file}, {}, true);
  *said = lint.ReadAll(20000);
  return lint.Wait(20000);
}

TEST(JUnitSchemaTest, PassingFailingAndCutShortRunsAreValidAntJUnit) {
  ASSERT_TRUE(platform::FileExists("/usr/bin/xmllint")) << "needs xmllint (Debian: libxml2-utils)";
  const std::string schema = QX_SOURCE_DIR "/tests/station/ant_junit.xsd";
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  std::string said;
  for (uint32_t type : {10u, 11u, 12u}) {
    SCOPED_TRACE(type);
    RunRecord record(type == 10 ? "usb-check" : "", 0x400);
    TestHarness harness(type, 0x400, 1, nullptr, kTypes);
    harness.AddObserver(&record);
    harness.Run();
    const std::string xml = record.ToJUnit();
    const std::string file = dir.File("run" + std::to_string(type) + ".xml");
    ASSERT_EQ(0, platform::WriteFileAtomically(file.c_str(), xml.data(), xml.size()));
    EXPECT_EQ(0, Validate(schema, file, &said)) << said << xml;
  }
  // The validator does refuse what the format does not allow.
  const std::string wrong = "<testsuites name=\"qxstation\"></testsuites>\n";
  const std::string file = dir.File("wrong.xml");
  ASSERT_EQ(0, platform::WriteFileAtomically(file.c_str(), wrong.data(), wrong.size()));
  EXPECT_NE(0, Validate(schema, file, &said)) << said;
}

}  // namespace
