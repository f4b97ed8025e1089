// Stop requests kept for the program (the first kind, and how many), held
// back while an uncut scope lives, where a further one says once per request
// that the page is being finished. The system's own signals reach it in the
// kill matrix of tests/e2e.
#include <gtest/gtest.h>

#include <string>

#include "platform/stop_request.h"

namespace {

TEST(StopRequestTest, RequestsWaitForWhatMustNotBeCut) {
  platform::ClearStopRequests();
  EXPECT_FALSE(platform::StopDue());
  {
    platform::UncutScope uncut;
    testing::internal::CaptureStderr();
    platform::RequestStop(platform::kStopInterrupt);
    EXPECT_EQ(platform::kStopInterrupt, platform::StopRequested());
    EXPECT_FALSE(platform::StopDue()) << "held back while the page is written";
    platform::RequestStop(platform::kStopTerminate);
    platform::RequestStop(platform::kStopTerminate);
    EXPECT_EQ(
        "Stop requested: finishing the page being written to the device first\n"
        "Stop requested: finishing the page being written to the device first\n",
        testing::internal::GetCapturedStderr());
  }
  EXPECT_TRUE(platform::StopDue());
  EXPECT_EQ(3, platform::StopRequestCount());
  EXPECT_EQ(platform::kStopInterrupt, platform::StopRequested()) << "the first one counts";
  EXPECT_EQ(130, platform::StopExitStatus(platform::kStopInterrupt));
  EXPECT_EQ(143, platform::StopExitStatus(platform::kStopTerminate));

  platform::ClearStopRequests();
  testing::internal::CaptureStderr();
  platform::RequestStop(platform::kStopTerminate);
  platform::RequestStop(platform::kStopTerminate);
  EXPECT_EQ("", testing::internal::GetCapturedStderr()) << "nothing being finished";
  EXPECT_EQ(platform::kStopTerminate, platform::StopRequested());

  platform::ClearStopRequests();
  EXPECT_FALSE(platform::StopDue());
}

}  // namespace
