// The console report: the whole list with each test's status and details,
// shown anew at every step of a run, as one observer of the run among the
// others. Its text goes to a ReportSink (the console unless told otherwise).
#pragma once

#include <string>

#include "harness/report_sink.h"
#include "harness/run_observer.h"

class ReportObserver : public RunObserver {
 public:
  // sink null: the console.
  explicit ReportObserver(ReportSink* sink);
  void Show(const TestHarness& run) override;

 private:
  void Compose(const TestHarness& run);

  ReportSink* sink_;
  std::string report_;  // the last report composed, kept to reuse its storage
};
