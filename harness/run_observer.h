// Who follows a test run: the console report, the run's records, whatever
// else a station adds. The harness tells each of them of every step, in the
// order they were added; none of them changes what the others see.
#pragma once

#include <cstdint>

#include "harness/context.h"

class TestHarness;

class RunObserver {
 public:
  virtual ~RunObserver() = default;
  // The run as it stands is to be shown: once the list is built, as each
  // test starts, at the end, and whenever PrintReport asks.
  virtual void Show(const TestHarness&) {}
  // Run has begun; the list holds count tests, none run yet.
  virtual void RunStarted(const TestRecord*, uint32_t, const TestContext&) {}
  // Test index is about to be called.
  virtual void TestStarted(uint32_t, const TestRecord&) {}
  // Test index has its status and details.
  virtual void TestFinished(uint32_t, const TestRecord&, const TestContext&) {}
  // The run is over: every test passed, or not.
  virtual void RunFinished(bool, const TestContext&) {}
  // The run stopped on request (stop: a platform::StopKind) before its end,
  // instead of RunFinished; the tests not run keep their "-". Told as a run
  // that did not pass unless the observer knows better.
  virtual void RunAborted(int, const TestContext& context) { RunFinished(false, context); }
  // What test index did is no longer on the device (a later test's page
  // update undid it); note says how.
  virtual void TestUndone(uint32_t, const char*) {}
};
