#include "harness/report_sink.h"

#include <cstdio>

void ConsoleReportSink::Show(const char* text, size_t length) {
  if (text == nullptr || length == 0) return;
  fwrite(text, 1, length, stdout);
  // The operator watches the report live while a test runs.
  fflush(stdout);
}

ReportSink& ConsoleReport() {
  static ConsoleReportSink console;
  return console;
}
