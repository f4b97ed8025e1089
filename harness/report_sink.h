// Where the harness's report goes. The console is one such place; tests put a
// recorder in its stead.
#pragma once

#include <cstddef>

class ReportSink {
 public:
  virtual ~ReportSink() = default;
  // One whole report, as it is to appear on the screen.
  virtual void Show(const char* text, size_t length) = 0;
};

// Writes each report to standard output at once.
class ConsoleReportSink : public ReportSink {
 public:
  void Show(const char* text, size_t length) override;
};

// The process's console sink, the harness's default.
ReportSink& ConsoleReport();
