// The runner and its console report: order of the run, levels, report layout
// to the character, bounded texts, and what the harness frees at the end.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "platform/socket.h"
#include "qxm/qxm.h"
#include "qxm/qxm_backend.h"
#include "qxm/qxm_errors.h"
#include "station/station_table.h"

namespace {

constexpr uint32_t kScriptedType = 9;

// What one scripted test does when it is called.
struct Step {
  const char* name;
  uint32_t level;
  const char* msg;  // null: leaves Msg as it is
  bool setsLevel = true;
};

std::vector<Step> g_steps;
size_t g_calls = 0;
TestHarness* g_harness = nullptr;
std::vector<std::string> g_seenDetails;  // the entry's details while its test ran
std::vector<uint32_t> g_seenStatus;

uint32_t ScriptedTest(TestContext* context) {
  if (g_calls >= g_steps.size()) {
    ADD_FAILURE() << "a test was called more often than scripted";
    context->EL = kLevelFatal;
    return 1;
  }
  const Step& step = g_steps[g_calls];
  if (g_harness != nullptr) {
    g_seenDetails.push_back(g_harness->list()[g_calls].details);
    g_seenStatus.push_back(g_harness->list()[g_calls].status);
  }
  ++g_calls;
  if (step.setsLevel) context->EL = step.level;
  if (step.msg != nullptr) TextCopy(context->Msg, step.msg);
  return step.level == kLevelPassed ? 0 : 1;
}

uint32_t FillScripted(TestContext* context, TestRecord* list) {
  for (size_t i = 0; i < g_steps.size(); ++i) {
    list[i].name = g_steps[i].name;
    list[i].test = ScriptedTest;
  }
  context->testCount = static_cast<uint32_t>(g_steps.size());
  return 0;
}

// Claims more tests than a list holds.
uint32_t FillTooMany(TestContext* context, TestRecord* list) {
  for (uint32_t i = 0; i < kMaxTests; ++i) {
    list[i].name = "Any";
    list[i].test = ScriptedTest;
  }
  context->testCount = kMaxTests + 20;
  return 0;
}

uint32_t FailToFill(TestContext* context, TestRecord*) {
  context->testCount = 3;
  return 1;
}

const DeviceTypeEntry kScriptedTypes[] = {
    {"FillScripted", kScriptedType, FillScripted},
    {"FillTooMany", 10, FillTooMany},
    {"FailToFill", 11, FailToFill},
    {nullptr, 0, nullptr},
};

class RecordingSink : public ReportSink {
 public:
  void Show(const char* text, size_t length) override { reports.emplace_back(text, length); }
  std::vector<std::string> reports;
};

// The screen top that every report starts with.
std::string Top(const std::string& overall) {
  std::string top;
  for (int i = 0; i < 20; ++i) top += "\r\n";
  return top + "QXTest Version 0.12\r\nOverall Result:           " + overall +
         "\r\n\r\n-TEST-                      -RESULT-    -DETAILS-\r\n";
}

class HarnessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_steps.clear();
    g_calls = 0;
    g_harness = nullptr;
    g_seenDetails.clear();
    g_seenStatus.clear();
  }
  void TearDown() override { g_harness = nullptr; }

  std::unique_ptr<TestHarness> Make(std::vector<Step> steps, uint32_t quiet = 0,
                                    uint32_t type = kScriptedType) {
    g_steps = std::move(steps);
    g_calls = 0;
    auto harness = std::make_unique<TestHarness>(type, 0x840400, quiet, &sink, kScriptedTypes);
    g_harness = harness.get();
    return harness;
  }

  RecordingSink sink;
};

TEST_F(HarnessTest, EmptyListShowsHeadingsOnlyAndPasses) {
  // The station's own table under the Z5 code; mask 0 selects nothing.
  TestHarness harness(kZ5DeviceType, 0, 0, &sink, kDeviceTypes);
  ASSERT_TRUE(harness.hasTestList());
  EXPECT_EQ(harness.testCount(), 0u);
  EXPECT_EQ(harness.Run(), kHarnessOk);
  ASSERT_EQ(sink.reports.size(), 2u);
  EXPECT_EQ(sink.reports[0], Top("Not yet run"));
  EXPECT_EQ(sink.reports[1], Top("** Passed **"));
  EXPECT_TRUE(harness.passed());
}

TEST_F(HarnessTest, ReportColumnsToTheCharacter) {
  auto harness = Make({
      {"Vmux", kLevelPassed, "Vmux ok"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ0", kLevelWarning, "w"},    // 27
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ01", kLevelError, "e"},     // 28
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123", kLevelPassed, "p"},  // 30
      {"Short", kLevelFatal, "Comm Error: (1000)"},
      {"Never run", kLevelPassed, "x"},
  });
  harness->Run();
  std::string expected = Top("** Failed **") +
                         " Vmux                        Passed      Vmux ok\r\n"
                         " ABCDEFGHIJKLMNOPQRSTUVWXYZ0 Warning     w\r\n"
                         " ABCDEFGHIJKLMNOPQRSTUVWXYZ01Error       e\r\n"
                         " ABCDEFGHIJKLMNOPQRSTUVWXYZ0123Passed      p\r\n"
                         " Short                       Fatal       Comm Error: (1000)\r\n"
                         " Never run                   -           \r\n";
  EXPECT_EQ(sink.reports.back(), expected);
  // Status at column 29 and details at column 41, one right of their headings.
  size_t line = expected.find(" Vmux ");
  EXPECT_EQ(expected.compare(line + 29, 6, "Passed"), 0);
  EXPECT_EQ(expected.compare(line + 41, 7, "Vmux ok"), 0);
}

TEST_F(HarnessTest, EachStepShowsARunningScreen) {
  auto harness = Make({{"First", kLevelPassed, "one"}, {"Second", kLevelPassed, "two"}});
  EXPECT_EQ(sink.reports.size(), 1u);
  EXPECT_EQ(sink.reports[0], Top("Not yet run") +
                                 " First                       -           \r\n"
                                 " Second                      -           \r\n");
  harness->Run();
  // The first screen, the Running screen of each test, the final one.
  ASSERT_EQ(sink.reports.size(), 4u);
  EXPECT_EQ(sink.reports[1], Top("** In Progress **") +
                                 " First                       Running     \r\n"
                                 " Second                      -           \r\n");
  EXPECT_EQ(sink.reports[2], Top("** In Progress **") +
                                 " First                       Passed      one\r\n"
                                 " Second                      Running     \r\n");
  EXPECT_EQ(sink.reports[3], Top("** Passed **") +
                                 " First                       Passed      one\r\n"
                                 " Second                      Passed      two\r\n");
}

TEST_F(HarnessTest, RunningTestSeesTheReminderInItsDetails) {
  auto harness = Make({{"First", kLevelPassed, "one"}, {"Second", kLevelPassed, "two"}});
  harness->Run();
  ASSERT_EQ(g_seenDetails.size(), 2u);
  EXPECT_EQ(g_seenDetails[0], "All functions must fill Msg and EL");
  EXPECT_EQ(g_seenDetails[1], "All functions must fill Msg and EL");
  EXPECT_EQ(g_seenStatus[0], static_cast<uint32_t>(kLevelRunning));
}

struct LevelCase {
  uint32_t level;
  const char* status;
  size_t calls;  // of three tests, the failing one second
};

// Names the case in test listings (the default would print padding bytes).
void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.status; }

class HarnessLevelTest : public HarnessTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(HarnessLevelTest, LevelDecidesRunAndOverallResult) {
  const LevelCase& c = GetParam();
  auto harness = Make({{"A", kLevelPassed, "a"}, {"B", c.level, "b"}, {"C", kLevelPassed, "c"}});
  harness->Run();
  EXPECT_EQ(g_calls, c.calls);
  EXPECT_STREQ(harness->overallResult(), c.level == kLevelPassed ? "** Passed **" : "** Failed **");
  EXPECT_EQ(harness->passed(), c.level == kLevelPassed);
  EXPECT_EQ(harness->list()[1].status, c.level);
  EXPECT_STREQ(harness->context()->resultLines[1],
               (std::string("B : ") + c.status + " : b").c_str());
  EXPECT_EQ(harness->list()[2].status, c.calls == 3 ? kLevelPassed : kLevelNotRun);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, HarnessLevelTest,
    ::testing::Values(LevelCase{kLevelPassed, "Passed", 3}, LevelCase{kLevelWarning, "Warning", 3},
                      LevelCase{kLevelError, "Error", 3}, LevelCase{kLevelFatal, "Fatal", 2},
                      // Levels a test should never leave still fail the run.
                      LevelCase{kLevelNotRun, "-", 3}, LevelCase{kLevelRunning, "Running", 3},
                      LevelCase{9, "Unknown", 3}));

TEST_F(HarnessTest, FatalInThirdOfFiveLeavesTheRestUnrun) {
  auto harness = Make({
      {"One", kLevelPassed, "1"},
      {"Two", kLevelPassed, "2"},
      {"Three", kLevelFatal, "No Quenloxs found (1006)"},
      {"Four", kLevelPassed, "4"},
      {"Five", kLevelPassed, "5"},
  });
  harness->Run();
  EXPECT_EQ(g_calls, 3u);
  char* const* lines = harness->context()->resultLines;
  EXPECT_STREQ(lines[0], "One : Passed : 1");
  EXPECT_STREQ(lines[1], "Two : Passed : 2");
  EXPECT_STREQ(lines[2], "Three : Fatal : No Quenloxs found (1006)");
  EXPECT_EQ(lines[3], nullptr);
  EXPECT_EQ(lines[4], nullptr);
  EXPECT_EQ(harness->list()[3].status, static_cast<uint32_t>(kLevelNotRun));
  EXPECT_EQ(harness->list()[4].status, static_cast<uint32_t>(kLevelNotRun));
  const std::string& last = sink.reports.back();
  EXPECT_NE(last.find(" Four                        -           \r\n"), std::string::npos);
  EXPECT_NE(last.find(" Five                        -           \r\n"), std::string::npos);
  EXPECT_STREQ(harness->overallResult(), "** Failed **");
}

TEST_F(HarnessTest, QuietPrintsNothingButBuildsLines) {
  testing::internal::CaptureStdout();
  {
    g_steps = {{"One", kLevelPassed, "1"}, {"Two", kLevelError, "2"}};
    // The console sink: nothing may reach standard output.
    TestHarness harness(kScriptedType, 0, 1, nullptr, kScriptedTypes);
    harness.Run();
    EXPECT_STREQ(harness.context()->resultLines[0], "One : Passed : 1");
    EXPECT_STREQ(harness.context()->resultLines[1], "Two : Error : 2");
    EXPECT_STREQ(harness.overallResult(), "** Failed **");
    EXPECT_EQ(harness.PrintReport(), 0);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  auto harness = Make({{"One", kLevelPassed, "1"}}, 1);
  harness->Run();
  EXPECT_TRUE(sink.reports.empty());
}

TEST_F(HarnessTest, ConsoleSinkWritesTheReportToStandardOutput) {
  testing::internal::CaptureStdout();
  { TestHarness harness(kZ5DeviceType, 0, 0, nullptr, kDeviceTypes); }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), Top("Not yet run"));
}

TEST_F(HarnessTest, ElAndMsgAreNotResetBetweenTests) {
  auto harness = Make({
      {"Sets", kLevelWarning, "from the first"},
      {"Silent", 0, nullptr, false},
  });
  harness->Run();
  EXPECT_EQ(harness->list()[1].status, static_cast<uint32_t>(kLevelWarning));
  EXPECT_STREQ(harness->list()[1].details, "from the first");
  EXPECT_STREQ(harness->context()->resultLines[1], "Silent : Warning : from the first");
}

TEST_F(HarnessTest, ATestThatSetsNothingDoesNotPass) {
  // A fresh context has EL 0: a first test that writes nothing shows "-" and fails the run.
  auto harness = Make({{"Silent", 0, nullptr, false}});
  harness->Run();
  EXPECT_STREQ(harness->context()->resultLines[0], "Silent : - : ");
  EXPECT_STREQ(harness->overallResult(), "** Failed **");
}

uint32_t FillsMsgToTheBrim(TestContext* context) {
  // No terminator anywhere in the field.
  memset(context->Msg, 'x', sizeof context->Msg);
  context->EL = kLevelPassed;
  return 0;
}

TEST_F(HarnessTest, OverLongMsgIsCutInDetailsAndReportLine) {
  std::string longName(150, 'N');
  auto harness = Make({{"Short", kLevelPassed, ""}, {longName.c_str(), kLevelPassed, ""}});
  // Both entries run the same over-filling test.
  TestRecord* list = const_cast<TestRecord*>(harness->list());
  list[0].test = FillsMsgToTheBrim;
  list[1].test = FillsMsgToTheBrim;
  harness->Run();

  std::string x199(199, 'x');
  EXPECT_EQ(std::string(harness->list()[0].details), x199);
  EXPECT_EQ(std::string(harness->context()->resultLines[0]),
            ("Short : Passed : " + x199).substr(0, 199));
  std::string line1 = harness->context()->resultLines[1];
  EXPECT_EQ(line1.size(), 199u);
  EXPECT_EQ(line1, (longName + " : Passed : " + x199).substr(0, 199));
  EXPECT_NE(sink.reports.back().find(" Short                       Passed      " + x199 + "\r\n"),
            std::string::npos);
}

// A device's text reaches the screen with its control characters escaped;
// the test's details and report line keep it as it came.
TEST_F(HarnessTest, ControlCharactersInDetailsNeverReachTheScreen) {
  const char* hostile = "Name: \x1b[2J\x1b[H\x1b[32m** Passed **\r\n";
  auto harness = Make({{"Device Name", kLevelPassed, hostile}});
  harness->Run();
  EXPECT_NE(sink.reports.back().find(" Device Name                 Passed      "
                                     "Name: \\x1B[2J\\x1B[H\\x1B[32m** Passed **\\r\\n\r\n"),
            std::string::npos)
      << sink.reports.back();
  EXPECT_STREQ(hostile, harness->list()[0].details);
  EXPECT_EQ(std::string("Device Name : Passed : ") + hostile, harness->context()->resultLines[0]);
}

TEST_F(HarnessTest, StationTextsAreCutAtTheirFields) {
  auto harness = Make({});
  std::string t300(300, 'a'), n2000(2000, 'b');
  EXPECT_EQ(harness->SetStationText(t300.c_str(), "second"), 0);
  EXPECT_EQ(std::string(harness->context()->stationText1), t300.substr(0, 199));
  EXPECT_STREQ(harness->context()->stationText2, "second");
  EXPECT_EQ(harness->SetStationNote(n2000.c_str()), 0);
  EXPECT_EQ(std::string(harness->context()->stationNote), n2000.substr(0, 1023));
  EXPECT_EQ(harness->SetStationText(nullptr, nullptr), 0);
  EXPECT_STREQ(harness->context()->stationText1, "");
  EXPECT_STREQ(harness->context()->stationText2, "");
}

TEST_F(HarnessTest, UnknownDeviceTypeIsRefused) {
  g_steps = {{"Would pass", kLevelPassed, "p"}};
  TestHarness harness(77, 0xFFFFFFFF, 0, &sink, kScriptedTypes);
  g_harness = &harness;
  EXPECT_FALSE(harness.hasTestList());
  EXPECT_EQ(harness.testCount(), 0u);
  EXPECT_STREQ(harness.overallResult(), "No test list for device type 77: nothing to run");
  EXPECT_EQ(harness.Run(), kHarnessNoTestList);
  EXPECT_EQ(g_calls, 0u);
  EXPECT_FALSE(harness.passed());
  ASSERT_EQ(sink.reports.size(), 2u);
  for (const std::string& report : sink.reports) {
    EXPECT_EQ(report, Top("No test list for device type 77: nothing to run"));
  }
}

TEST_F(HarnessTest, AListThatCannotBeBuiltIsRefused) {
  TestHarness harness(11, 0, 0, &sink, kScriptedTypes);
  EXPECT_FALSE(harness.hasTestList());
  EXPECT_EQ(harness.testCount(), 0u);
  EXPECT_EQ(harness.Run(), kHarnessNoTestList);
}

TEST_F(HarnessTest, CountBeyondTheListIsCut) {
  g_steps.assign(kMaxTests, Step{"Any", kLevelPassed, "ok"});
  TestHarness harness(10, 0, 1, &sink, kScriptedTypes);
  EXPECT_EQ(harness.testCount(), kMaxTests);
  harness.Run();
  EXPECT_EQ(g_calls, kMaxTests);
  EXPECT_STREQ(harness.context()->resultLines[kMaxTests - 1], "Any : Passed : ok");
}

TEST_F(HarnessTest, AppendedTestsRunAfterTheListUpToItsCapacity) {
  std::vector<Step> steps(kMaxTests, Step{"Added", kLevelPassed, "ok"});
  steps[0] = Step{"Listed", kLevelPassed, "ok"};
  auto harness = Make({steps[0]}, 1);
  g_steps = steps;
  EXPECT_FALSE(harness->AppendTest("Null", nullptr));
  for (uint32_t i = 1; i < kMaxTests; ++i) ASSERT_TRUE(harness->AppendTest("Added", ScriptedTest));
  EXPECT_FALSE(harness->AppendTest("Added", ScriptedTest)) << "the list is full";
  harness->Run();
  EXPECT_EQ(g_calls, kMaxTests);
  EXPECT_STREQ(harness->context()->resultLines[kMaxTests - 1], "Added : Passed : ok");
}

TEST_F(HarnessTest, MissingTestFunctionEndsTheRun) {
  auto harness = Make({{"Hole", kLevelPassed, "p"}, {"After", kLevelPassed, "p"}});
  const_cast<TestRecord*>(harness->list())[0].test = nullptr;
  harness->Run();
  EXPECT_EQ(g_calls, 0u);
  EXPECT_STREQ(harness->context()->resultLines[0], "Hole : Fatal : No test function");
  EXPECT_EQ(harness->context()->resultLines[1], nullptr);
}

TEST_F(HarnessTest, SecondRunStartsFromACleanList) {
  auto harness = Make({
      {"One", kLevelPassed, "1"},
      {"Two", kLevelPassed, "2"},
      {"One again", kLevelFatal, "down"},
      {"Two again", kLevelPassed, "never"},
  });
  // The first run covers the first two steps only; the second gets the rest.
  const_cast<TestContext*>(harness->context())->testCount = 2;
  harness->Run();
  EXPECT_TRUE(harness->passed());
  harness->Run();
  EXPECT_FALSE(harness->passed());
  EXPECT_EQ(harness->list()[1].status, static_cast<uint32_t>(kLevelNotRun));
  EXPECT_STREQ(harness->list()[1].details, "");
  EXPECT_EQ(harness->context()->resultLines[1], nullptr);
  EXPECT_STREQ(harness->context()->resultLines[0], "One : Fatal : down");
}

TEST(StatusNameTest, NamesByLevelAndSafeOutsideTheTable) {
  const char* expected[] = {"-", "Running", "Passed", "Warning", "Error", "Fatal"};
  for (uint32_t level = 0; level < 6; ++level) EXPECT_STREQ(StatusName(level), expected[level]);
  EXPECT_STREQ(StatusName(6), "Unknown");
  EXPECT_STREQ(StatusName(0xFFFFFFFF), "Unknown");
}

// Server links and device connections are freed with the harness.
std::vector<ServerLink*> g_released;
void RecordRelease(ServerLink* link) { g_released.push_back(link); }

ServerLink* FakeLink(int* storage) { return reinterpret_cast<ServerLink*>(storage); }

TEST(ServerOwnershipTest, HarnessReleasesItsServerLink) {
  g_released.clear();
  int a = 0;
  {
    TestHarness harness(kZ5DeviceType, 0, 1, nullptr, kDeviceTypes);
    SetServer(harness.context(), FakeLink(&a), RecordRelease);
    harness.Run();
    EXPECT_TRUE(g_released.empty());  // the link outlives the run
  }
  ASSERT_EQ(g_released.size(), 1u);
  EXPECT_EQ(g_released[0], FakeLink(&a));
}

TEST(ServerOwnershipTest, ARunLeavesTheSocketLibraryToThoseWhoStartedIt) {
  platform::SocketsUser link;  // as a server link or an open device holds it
  int before = platform::SocketsStarted();
  {
    TestHarness harness(kZ5DeviceType, 0, 1, nullptr, kDeviceTypes);
    harness.Run();
  }
  EXPECT_EQ(platform::SocketsStarted(), before);
}

TEST(ServerOwnershipTest, ANewLinkReplacesAndReleasesTheOldOne) {
  g_released.clear();
  int a = 0, b = 0;
  TestContext context;
  SetServer(&context, FakeLink(&a), RecordRelease);
  SetServer(&context, FakeLink(&b), RecordRelease);
  ASSERT_EQ(g_released.size(), 1u);
  EXPECT_EQ(g_released[0], FakeLink(&a));
  EXPECT_EQ(context.server, FakeLink(&b));
  // Storing the same link again must not free it.
  SetServer(&context, FakeLink(&b), RecordRelease);
  EXPECT_EQ(g_released.size(), 1u);
  ReleaseServer(&context);
  EXPECT_EQ(g_released.size(), 2u);
  EXPECT_EQ(context.server, nullptr);
  EXPECT_EQ(context.serverRelease, nullptr);
  ReleaseServer(&context);
  EXPECT_EQ(g_released.size(), 2u);
}

TEST(ServerOwnershipTest, ALinkWithoutReleaseIsLeftToItsOwner) {
  g_released.clear();
  int a = 0;
  TestContext context;
  SetServer(&context, FakeLink(&a), nullptr);
  ReleaseServer(&context);
  EXPECT_TRUE(g_released.empty());
  EXPECT_EQ(context.server, nullptr);
}

class ClosingBackend : public QxmBackend {
 public:
  explicit ClosingBackend(int* closed) : closed_(closed) {}
  ~ClosingBackend() override { ++*closed_; }
  int Exchange(unsigned char*, int*) override { return 0; }

 private:
  int* closed_;
};

TEST(DeviceOwnershipTest, HarnessClosesTheConnectionsLeftOpen) {
  int closed = 0;
  int usb = 0, tcp = 0, other = 0;
  ASSERT_EQ(QxmRegisterBackend(std::make_unique<ClosingBackend>(&closed), &usb), 0);
  ASSERT_EQ(QxmRegisterBackend(std::make_unique<ClosingBackend>(&closed), &tcp), 0);
  ASSERT_EQ(QxmRegisterBackend(std::make_unique<ClosingBackend>(&closed), &other), 0);
  {
    TestHarness harness(kZ5DeviceType, 0, 1, nullptr, kDeviceTypes);
    // After the Ethernet test: the run talks over TCP; USB is the test's own to close.
    harness.context()->usbHandle = usb;
    harness.context()->handle = tcp;
    harness.context()->ethernetHandle = tcp;
    QXM_Close(usb);
    EXPECT_EQ(closed, 1);
  }
  EXPECT_EQ(closed, 2);
  EXPECT_EQ(QXM_Close(tcp), QXM_ERR_INVALID_HANDLE);
  // A connection the run never stored stays open.
  EXPECT_EQ(QXM_Close(other), QXM_OK);
  EXPECT_EQ(closed, 3);
}

TEST(DeviceOwnershipTest, BothHandlesAreClosedWhenTheyDiffer) {
  int closed = 0;
  int usb = 0, tcp = 0;
  ASSERT_EQ(QxmRegisterBackend(std::make_unique<ClosingBackend>(&closed), &usb), 0);
  ASSERT_EQ(QxmRegisterBackend(std::make_unique<ClosingBackend>(&closed), &tcp), 0);
  {
    TestHarness harness(kZ5DeviceType, 0, 1, nullptr, kDeviceTypes);
    harness.context()->usbHandle = usb;
    harness.context()->handle = usb;
    harness.context()->ethernetHandle = tcp;
  }
  EXPECT_EQ(closed, 2);
}

}  // namespace
