// Who else follows a test run besides the console report: records of the
// run are built from these notices, so the report's text never changes for them.
#pragma once

#include <cstdint>

#include "harness/context.h"

class RunObserver {
 public:
  virtual ~RunObserver() = default;
  // Run has begun; the list holds count tests, none run yet.
  virtual void RunStarted(const TestRecord* list, uint32_t count, const TestContext& context) = 0;
  // Test index is about to be called.
  virtual void TestStarted(uint32_t index, const TestRecord& test) = 0;
  // Test index has its status and details.
  virtual void TestFinished(uint32_t index, const TestRecord& test, const TestContext& context) = 0;
  // The run is over: every test passed, or not.
  virtual void RunFinished(bool passed, const TestContext& context) = 0;
  // The run stopped on request (stop: a platform::StopKind) before its end,
  // instead of RunFinished; the tests not run keep their "-". Told as a run
  // that did not pass unless the observer knows better.
  virtual void RunAborted(int stop, const TestContext& context) {
    (void)stop;
    RunFinished(false, context);
  }
  // What test index did is no longer on the device (a later test's page
  // update undid it); note says how.
  virtual void TestUndone(uint32_t index, const char* note) {
    (void)index;
    (void)note;
  }
};
