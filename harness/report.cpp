#include "harness/report.h"

#include <cstring>

#include "base/text.h"
#include "base/version.h"
#include "harness/harness.h"

namespace {

constexpr const char* kHeadings = "-TEST-                      -RESULT-    -DETAILS-\r\n";
// Report columns: status after the name column, details after the status column.
constexpr size_t kNameColumn = 28;
constexpr size_t kStatusColumn = 12;
constexpr int kBlankLines = 20;

void AppendPadded(std::string* out, const char* text, size_t width) {
  size_t length = strlen(text);
  out->append(text, length);
  if (length < width) out->append(width - length, ' ');
}

}  // namespace

ReportObserver::ReportObserver(ReportSink* sink)
    : sink_(sink != nullptr ? sink : &ConsoleReport()) {}

void ReportObserver::Show(const TestHarness& run) {
  Compose(run);
  sink_->Show(report_.data(), report_.size());
}

void ReportObserver::Compose(const TestHarness& run) {
  report_.clear();
  for (int i = 0; i < kBlankLines; ++i) report_ += "\r\n";
  char piece[kPieceCapacity];
  TextFormat(piece, sizeof piece, "QXTest Version %s\r\n", StationVersionText());
  report_ += piece;
  report_ += "Overall Result:           ";
  report_ += run.overallResult();
  report_ += "\r\n\r\n";
  report_ += kHeadings;
  for (uint32_t i = 0; i < run.testCount(); ++i) {
    const TestRecord& entry = run.list()[i];
    report_ += ' ';
    AppendPadded(&report_, entry.name != nullptr ? entry.name : "", kNameColumn);
    AppendPadded(&report_, StatusName(entry.status), kStatusColumn);
    // Details carry the device's texts: nothing in them may steer the terminal.
    char details[EscapedCapacity(kTextCapacity)] = {};
    TextAppendEscaped(details, sizeof details, entry.details, nullptr);
    report_ += details;
    report_ += "\r\n";
  }
}
