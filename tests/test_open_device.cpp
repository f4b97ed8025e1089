// The device opening test against the in-process fake device: identity
// verdicts, the writes that prepare the device, and its place in a run.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "harness/open_device.h"
#include "harness/report_sink.h"
#include "qxm/qxm_errors.h"
#include "tests/support/fake_device.h"

namespace {

using Bytes = std::vector<uint8_t>;

class RecordingSink : public ReportSink {
 public:
  void Show(const char* text, size_t length) override { last.assign(text, length); }
  std::string last;
};

class OpenDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_.ServeOpens();
    device_.SetF32(60000, 17.0f);
    device_.SetU32(60010, 0);
  }
  uint32_t Run(uint32_t mask = 0x400) {
    context_.mask = mask;
    return OpenDevice(&context_);
  }
  // True when some request carries this frame record.
  bool Sent(const Bytes& record) const {
    for (const auto& request : device_.Requests()) {
      if (std::search(request.begin(), request.end(), record.begin(), record.end()) !=
          request.end()) {
        return true;
      }
    }
    return false;
  }
  FakeDevice device_;
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
    device_.SetU32(60010, c.edition);
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
  device_.SetF32(60000, 17.00001f);
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
    device_.SetF32(60000, c.id);
    device_.SetU32(60010, c.edition);
    EXPECT_EQ(Run(), 1u) << c.id;
    EXPECT_EQ(context_.EL, kLevelFatal);
    EXPECT_STREQ(context_.Msg, c.msg);
    EXPECT_EQ(context_.isMax, 0);
  }
}

TEST_F(OpenDeviceTest, ANotANumberIdentifierIsRejected) {
  device_.SetU32(60000, 0x7FC00000);  // quiet NaN
  EXPECT_EQ(Run(), 1u);
  EXPECT_EQ(context_.EL, kLevelFatal);
  EXPECT_STREQ(context_.Msg, "Can not process HW ID: 0,");
}

TEST_F(OpenDeviceTest, PreparesTheDeviceAndTouchesTheSourceOnlyWithAJig) {
  device_.SetF32(30014, 3.5f);
  ASSERT_EQ(Run(0x400), 0u);
  EXPECT_TRUE(Sent({0x01, 0x13, 0x80, 0x02, 0x00, 0x00, 0x00, 0x00}));  // 4992 <- 0
  EXPECT_TRUE(Sent({0x01, 0xBB, 0x85, 0x01, 0x00, 0x01}));              // 48005 <- 1
  EXPECT_FALSE(Sent({0x01, 0x75, 0x3E, 0x02}));                         // 30014 untouched
  EXPECT_EQ(device_.GetF32(30014), 3.5f);
  EXPECT_EQ(device_.GetU16(48005), 1);
  // The identity read is one exchange of two frames.
  EXPECT_TRUE(Sent({0x00, 0xEA, 0x60, 0x02, 0x00, 0xEA, 0x6A, 0x02}));

  device_.ClearRequests();
  ASSERT_EQ(Run(0x20000), 0u);
  EXPECT_TRUE(Sent({0x01, 0x75, 0x3E, 0x02, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(device_.GetF32(30014), 0.0f);
}

TEST_F(OpenDeviceTest, FailuresAreFatalWithTheCode) {
  device_.FailNextOpens(QXM_ERR_REFUSED);
  EXPECT_EQ(Run(), 1u);
  EXPECT_EQ(context_.EL, kLevelFatal);
  EXPECT_STREQ(context_.Msg, "No Quenloxs found (1007)");
  EXPECT_EQ(context_.handle, 0);

  // Each of the preparing writes and the identity read ends the test.
  for (int failing = 0; failing < 4; ++failing) {
    device_.FailNext(0, failing);
    device_.FailNext(2);
    EXPECT_EQ(Run(0x20000), 1u) << failing;
    EXPECT_EQ(context_.EL, kLevelFatal);
    EXPECT_STREQ(context_.Msg, "Comm Error: (2)") << failing;
    EXPECT_EQ(context_.isMax, 0);
  }
}

TEST_F(OpenDeviceTest, RunsFirstInTheHarnessAndAFailureStopsTheRun) {
  RecordingSink sink;
  {
    TestHarness harness(2, 0x400, 0, &sink, nullptr);
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

  device_.FailNextOpens(QXM_ERR_NO_ANSWER);
  TestHarness harness(2, 0x400 | 0x10000, 0, &sink, nullptr);
  harness.Run();
  EXPECT_FALSE(harness.passed());
  EXPECT_STREQ(harness.overallResult(), "** Failed **");
  EXPECT_EQ(harness.list()[0].status, kLevelFatal);
  EXPECT_EQ(harness.list()[1].status, kLevelNotRun);
  EXPECT_NE(sink.last.find("No Quenloxs found (1006)"), std::string::npos);
}

}  // namespace
