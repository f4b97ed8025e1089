// The production test run: builds the list for a device type and a station
// mask, runs the tests in order against one shared context, and tells its
// observers of every step; the first of them, unless quiet, is the console
// report, which shows the whole list after every step.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/text.h"
#include "harness/context.h"
#include "harness/report.h"
#include "harness/report_sink.h"
#include "harness/run_observer.h"
#include "harness/selection.h"
#include "platform/stop_request.h"

// Results of Run besides 0.
enum HarnessStatus : int {
  kHarnessOk = 0,
  kHarnessNoTestList = 1,  // the device type has no row: nothing was run
  kHarnessAborted = 2,     // a stop request ended the run before its end
};

class TestHarness {
 public:
  // Builds the list through the device-type table (null: none, so there is
  // no list to run) and shows the first report on sink (null: the console).
  TestHarness(uint32_t deviceType, uint32_t mask, uint32_t quiet, ReportSink* sink,
              const DeviceTypeEntry* deviceTypes);
  // Frees the server link and closes the device connections the run left open.
  ~TestHarness();
  TestHarness(const TestHarness&) = delete;
  TestHarness& operator=(const TestHarness&) = delete;

  // Copies both texts (cut at 199 characters); returns 0.
  int SetStationText(const char* text1, const char* text2);
  // Copies the note (cut at 1023 characters); returns 0.
  int SetStationNote(const char* text);
  // Appends a test after the list built for the mask; false (nothing added)
  // when the list is full (kMaxTests), the harness has no list, or test is
  // null. Call before Run.
  bool AppendTest(const char* name, TestFunction test);
  // Runs the list in order until the end or the first Fatal result. Returns
  // 0, or kHarnessNoTestList (running nothing) when the device type has no
  // test list. A stop request (platform/stop_request.h) ends the run after
  // the test it reached (whose device link takes it between operations):
  // the tests after it keep "-", the device and the server link are closed
  // at once, the observer hears RunAborted, and Run returns kHarnessAborted.
  int Run();
  // Shows the run to every observer (the console report unless quiet); returns 0.
  int PrintReport();
  // Tells observer of every step of the runs that follow, after those added
  // before it; false (not added) when it is null or kMaxObservers follow
  // already. The caller keeps it alive as long as the harness runs.
  bool AddObserver(RunObserver* observer);
  static constexpr uint32_t kMaxObservers = 8;

  TestContext* context() { return &context_; }
  const TestContext& context() const { return context_; }
  // kMaxTests entries, of which testCount() are in use.
  const TestRecord* list() const { return list_; }
  uint32_t testCount() const { return context_.testCount; }
  const char* overallResult() const { return overall_; }
  bool hasTestList() const { return hasTestList_; }
  // True once a run has ended with every test passed.
  bool passed() const { return passed_; }
  // True when a stop request ended the last run.
  bool aborted() const { return aborted_; }

 private:
  void BuildResultLine(uint32_t i);
  void CloseDevices();
  template <typename Notice>
  void Tell(Notice notice) {
    for (uint32_t i = 0; i < observerCount_; ++i) notice(*observers_[i]);
  }
  void TellUndone(uint32_t index);
  // Runs test i and tells the observers; true when a stop request met it.
  bool RunTest(uint32_t i);
  // The end of a run that a stop request cut short; returns kHarnessAborted.
  int EndAborted(platform::StopKind stop);

  TestContext context_;
  TestRecord list_[kMaxTests];
  char lines_[kMaxTests][kTextCapacity] = {};
  char overall_[kTextCapacity] = {};
  ReportObserver report_;
  RunObserver* observers_[kMaxObservers] = {};
  uint32_t observerCount_ = 0;
  bool hasTestList_ = false;
  bool passed_ = false;
  bool aborted_ = false;
};
