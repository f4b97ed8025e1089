// The device opening test against the bench device: identity
// verdicts, the writes that prepare the device, and its place in a run.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "harness/report_sink.h"
#include "production/open_device.h"
#include "qxm/qxm_errors.h"
#include "station/station_table.h"
#include "tests/support/bench_device.h"

namespace {

class RecordingSink : public ReportSink {
 public:
  void Show(const char* text, size_t length) override { last.assign(text, length); }
  std::string last;
};

class OpenDeviceTest : public ::testing::Test {
 protected:
  uint32_t Run(uint32_t mask = 0x400) {
    context_.mask = mask;
    return OpenDevice(&context_);
  }
  // The identity registers read as another device's would.
  void Identity(float id, uint32_t edition) {
    uint32_t bits = 0;
    std::memcpy(&bits, &id, sizeof bits);
    LinkFaults faults;
    faults.misread = {{60000, bits >> 16},
                      {60001, bits & 0xFFFF},
                      {60010, edition >> 16},
                      {60011, edition & 0xFFFF}};
    device_.SetFaults(faults);
  }
  bool Sent(const Bytes& record) { return device_.recorder().Sent(record); }
  BenchDevice device_;
  TestContext context_;
};

TEST_F(OpenDeviceTest, RecognisesTheEditionFromTheIdentityRegisters) {
  struct Case {
    uint32_t edition;
    const char* msg;
    uint8_t isMax;
  } cases[] = {
      {0, "Quenlox Z5 Found", 0},
      {1, "Quenlox Z5-Max Found", 1},
      {0x10001, "Quenlox Z5-Max Found", 1},
      {2, "Quenlox Z5 Found", 0},
  };
  for (const Case& c : cases) {
    Identity(17.0f, c.edition);
    context_.isMax = 7;
    EXPECT_EQ(Run(), 0u) << c.edition;
    EXPECT_EQ(context_.EL, kLevelPassed);
    EXPECT_STREQ(context_.Msg, c.msg);
    EXPECT_EQ(context_.isMax, c.isMax);
    EXPECT_NE(context_.handle, 0);
    EXPECT_EQ(context_.usbHandle, context_.handle);
  }
  ASSERT_FALSE(device_.OpenCalls().empty());
  EXPECT_EQ(device_.OpenCalls()[0].deviceType, "z5 device type");
  EXPECT_EQ(device_.OpenCalls()[0].connectionType, "usb connection");
  EXPECT_EQ(device_.OpenCalls()[0].identifier, "any identifier");
}

TEST_F(OpenDeviceTest, ProductIdentifierToleranceIsInclusiveOfTinyDeviations) {
  Identity(17.00001f, 0);
  EXPECT_EQ(Run(), 0u);
  EXPECT_EQ(context_.EL, kLevelPassed);

  struct Case {
    float id;
    uint32_t edition;
    const char* msg;
  } rejected[] = {
      {17.0001f, 1, "Can not process HW ID: 1,"},
      {16.9999f, 0, "Can not process HW ID: 0,"},
      {7.0f, 0x12345, "Can not process HW ID: 9029,"},  // low 16 bits of 60010
      {0.0f, 65535, "Can not process HW ID: 65535,"},
  };
  for (const Case& c : rejected) {
    Identity(c.id, c.edition);
    EXPECT_EQ(Run(), 1u) << c.id;
    EXPECT_EQ(context_.EL, kLevelFatal);
    EXPECT_STREQ(context_.Msg, c.msg);
    EXPECT_EQ(context_.isMax, 0);
  }
}

TEST_F(OpenDeviceTest, ANotANumberIdentifierIsRejected) {
  Identity(std::nanf(""), 0);
  EXPECT_EQ(Run(), 1u);
  EXPECT_EQ(context_.EL, kLevelFatal);
  EXPECT_STREQ(context_.Msg, "Can not process HW ID: 0,");
}

TEST_F(OpenDeviceTest, TheModelsOwnIdentityIsAZ5OfEitherEdition) {
  EXPECT_EQ(Run(), 0u);
  EXPECT_STREQ(context_.Msg, "Quenlox Z5 Found");
  device_.model().SetMax(true);
  EXPECT_EQ(Run(), 0u);
  EXPECT_STREQ(context_.Msg, "Quenlox Z5-Max Found");
}

TEST_F(OpenDeviceTest, PreparesTheDeviceAndTouchesTheSourceOnlyWithAJig) {
  ASSERT_EQ(device_.model().WriteRegisters(30014, 2, std::vector<uint16_t>{0x4060, 0}.data()), 0);
  ASSERT_EQ(Run(0x400), 0u);
  EXPECT_TRUE(Sent({0x01, 0x13, 0x80, 0x02, 0x00, 0x00, 0x00, 0x00}));  // 4992 <- 0
  EXPECT_TRUE(Sent({0x01, 0xBB, 0x85, 0x01, 0x00, 0x01}));              // 48005 <- 1
  EXPECT_FALSE(Sent({0x01, 0x75, 0x3E, 0x02}));                         // 30014 untouched
  EXPECT_EQ(device_.model().ReadF32(30014), 3.5f);
  uint16_t opening = 0;
  ASSERT_EQ(device_.model().ReadRegisters(48005, 1, &opening), 0);
  EXPECT_EQ(opening, 1);
  // The identity read is one exchange of two frames.
  EXPECT_TRUE(Sent({0x00, 0xEA, 0x60, 0x02, 0x00, 0xEA, 0x6A, 0x02}));

  device_.ClearRequests();
  ASSERT_EQ(Run(0x20000), 0u);
  EXPECT_TRUE(Sent({0x01, 0x75, 0x3E, 0x02, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(device_.model().ReadF32(30014), 0.0f);
}

TEST_F(OpenDeviceTest, FailuresAreFatalWithTheCode) {
  device_.FailOpens(QXM_ERR_REFUSED);
  EXPECT_EQ(Run(), 1u);
  EXPECT_EQ(context_.EL, kLevelFatal);
  EXPECT_STREQ(context_.Msg, "No Quenloxs found (1007)");
  EXPECT_EQ(context_.handle, 0);

  // Each of the preparing writes and the identity read ends the test.
  for (int failing = 0; failing < 4; ++failing) {
    LinkFaults faults;
    faults.after = failing;
    faults.drop = true;
    device_.SetFaults(faults);
    EXPECT_EQ(Run(0x20000), 1u) << failing;
    EXPECT_EQ(context_.EL, kLevelFatal);
    EXPECT_STREQ(context_.Msg, "Comm Error: (1014)") << failing;
    EXPECT_EQ(context_.isMax, 0);
  }
}

TEST_F(OpenDeviceTest, RunsFirstInTheHarnessAndAFailureStopsTheRun) {
  RecordingSink sink;
  {
    TestHarness harness(2, 0x400, 0, &sink, kDeviceTypes);
    ASSERT_EQ(harness.testCount(), 1u);
    harness.Run();
    EXPECT_TRUE(harness.passed());
    EXPECT_NE(sink.last.find(" Open Quenlox                Passed      Quenlox Z5 Found\r\n"),
              std::string::npos)
        << sink.last;
    EXPECT_STREQ(harness.context()->resultLines[0], "Open Quenlox : Passed : Quenlox Z5 Found");
  }
  // The harness closed the device it opened.
  EXPECT_EQ(device_.OpenHandleCount(), 1u);

  device_.FailOpens(QXM_ERR_NO_ANSWER);
  TestHarness harness(2, 0x400 | 0x10000, 0, &sink, kDeviceTypes);
  harness.Run();
  EXPECT_FALSE(harness.passed());
  EXPECT_STREQ(harness.overallResult(), "** Failed **");
  EXPECT_EQ(harness.list()[0].status, kLevelFatal);
  EXPECT_EQ(harness.list()[1].status, kLevelNotRun);
  EXPECT_NE(sink.last.find("No Quenloxs found (1006)"), std::string::npos);
}

}  // namespace
