// The production test run: builds the list for a device type and a station
// mask, runs the tests in order against one shared context, and shows a full
// report after every step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "harness/context.h"
#include "harness/report_sink.h"
#include "harness/run_observer.h"
#include "harness/selection.h"
#include "harness/text.h"

// The station's version, shown in the report and sent to the test server.
constexpr double kStationVersion = 0.12;

// Results of Run besides 0.
enum HarnessStatus : int {
  kHarnessOk = 0,
  kHarnessNoTestList = 1,  // the device type has no row: nothing was run
  kHarnessAborted = 2,     // a stop request ended the run before its end
};

class TestHarness {
 public:
  // Builds the list through the station's device-type table and shows the
  // first report on the console.
  TestHarness(uint32_t deviceType, uint32_t mask, uint32_t quiet);
  // The same with another report sink (null: the console) and another
  // device-type table (null: the station's).
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
  // Shows the report unless quiet; returns 0.
  int PrintReport();
  // Tells observer (null: no one) of every step of the runs that follow;
  // the caller keeps it alive as long as the harness runs.
  void SetObserver(RunObserver* observer) { observer_ = observer; }

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
  void ComposeReport();
  void BuildResultLine(uint32_t i);
  void CloseDevices();
  void TellUndone(uint32_t index);

  TestContext context_;
  TestRecord list_[kMaxTests];
  char lines_[kMaxTests][kTextCapacity] = {};
  char overall_[kTextCapacity] = {};
  ReportSink* sink_;
  RunObserver* observer_ = nullptr;
  bool hasTestList_ = false;
  bool passed_ = false;
  bool aborted_ = false;
  std::string report_;  // the last report composed, kept to reuse its storage
};
