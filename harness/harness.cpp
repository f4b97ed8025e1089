#include "harness/harness.h"

#include <cstring>

#include "harness/station_table.h"
#include "platform/socket.h"
#include "platform/stop_request.h"
#include "qxm/qxm.h"

namespace {

constexpr const char* kReminder = "All functions must fill Msg and EL";
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

TestHarness::TestHarness(uint32_t deviceType, uint32_t mask, uint32_t quiet)
    : TestHarness(deviceType, mask, quiet, nullptr, nullptr) {}

TestHarness::TestHarness(uint32_t deviceType, uint32_t mask, uint32_t quiet, ReportSink* sink,
                         const DeviceTypeEntry* deviceTypes)
    : sink_(sink != nullptr ? sink : &ConsoleReport()) {
  context_.quiet = quiet;
  context_.deviceType = deviceType;
  context_.mask = mask;

  const DeviceTypeEntry* row =
      FindDeviceType(deviceTypes != nullptr ? deviceTypes : kDeviceTypes, deviceType);
  hasTestList_ = row != nullptr && row->getList(&context_, list_) == 0;
  if (!hasTestList_) {
    // No list can be built: refuse the run rather than report an empty pass.
    context_.testCount = 0;
    TextFormat(overall_, sizeof overall_, "No test list for device type %u: nothing to run",
               deviceType);
  } else {
    // A list function of another table must not make the harness read past its list.
    if (context_.testCount > kMaxTests) context_.testCount = kMaxTests;
    TextCopy(overall_, "Not yet run");
  }
  PrintReport();

  context_.handle = 0;
  context_.usbHandle = 0;
  context_.ethernetHandle = 0;
  for (char*& line : context_.resultLines) line = nullptr;
}

TestHarness::~TestHarness() {
  ReleaseServer(&context_);
  CloseDevices();
}

void TestHarness::CloseDevices() {
  // handle is the connection every later test used; the Ethernet test moves it
  // from USB (which it closes itself) to TCP. Close each open one once.
  if (context_.handle != 0) QXM_Close(context_.handle);
  if (context_.ethernetHandle != 0 && context_.ethernetHandle != context_.handle) {
    QXM_Close(context_.ethernetHandle);
  }
  context_.handle = 0;
  context_.usbHandle = 0;
  context_.ethernetHandle = 0;
}

int TestHarness::SetStationText(const char* text1, const char* text2) {
  TextCopy(context_.stationText1, text1);
  TextCopy(context_.stationText2, text2);
  return 0;
}

int TestHarness::SetStationNote(const char* text) {
  TextCopy(context_.stationNote, text);
  return 0;
}

bool TestHarness::AppendTest(const char* name, TestFunction test) {
  if (!hasTestList_ || test == nullptr || context_.testCount >= kMaxTests) return false;
  TestRecord& entry = list_[context_.testCount++];
  entry.name = name;
  entry.test = test;
  entry.status = kLevelNotRun;
  entry.details[0] = '\0';
  return true;
}

int TestHarness::Run() {
  passed_ = false;
  aborted_ = false;
  if (!hasTestList_) {
    PrintReport();
    return kHarnessNoTestList;
  }

  // A second run starts from a clean list, so no earlier result shows as current.
  for (uint32_t i = 0; i < context_.testCount; ++i) {
    list_[i].status = kLevelNotRun;
    list_[i].details[0] = '\0';
  }
  for (char*& line : context_.resultLines) line = nullptr;
  context_.identity = RecordedIdentity();

  bool overall = true;
  TextCopy(overall_, "** In Progress **");
  if (observer_ != nullptr) observer_->RunStarted(list_, context_.testCount, context_);
  for (uint32_t i = 0; i < context_.testCount; ++i) {
    // A stop request taken between tests: nothing more starts.
    if (platform::StopRequested() != platform::kStopNone) break;
    TestRecord& entry = list_[i];
    entry.status = kLevelRunning;
    PrintReport();
    TextCopy(entry.details, kReminder);
    if (observer_ != nullptr) observer_->TestStarted(i, entry);

    // EL and Msg are left as the previous test set them; a record note is
    // the test's own.
    context_.recordNote[0] = '\0';
    context_.undoneTest = nullptr;
    context_.undoneNote[0] = '\0';
    context_.measurements.clear();
    context_.failureSource = kSourceDevice;
    if (entry.test != nullptr) {
      entry.test(&context_);
    } else {
      context_.EL = kLevelFatal;
      TextCopy(context_.Msg, "No test function");
    }
    const platform::StopKind stop = platform::StopRequested();
    if (stop != platform::kStopNone) {
      // The test met the request (its link refused what came after it).
      if (context_.recordNote[0] != '\0') TextAppend(context_.recordNote, "; ");
      TextAppend(context_.recordNote, "the run was stopped on request (");
      TextAppend(context_.recordNote, platform::StopName(stop));
      TextAppend(context_.recordNote, ")");
      context_.failureSource = kSourceAborted;
    }

    TextCopy(entry.details, context_.Msg);
    entry.status = context_.EL;
    BuildResultLine(i);
    context_.resultLines[i] = lines_[i];
    if (observer_ != nullptr) observer_->TestFinished(i, entry, context_);
    if (context_.undoneTest != nullptr) TellUndone(i);

    if (context_.EL != kLevelPassed) overall = false;
    if (stop != platform::kStopNone || context_.EL == kLevelFatal) break;
  }
  const platform::StopKind stop = platform::StopRequested();
  if (stop != platform::kStopNone) {
    aborted_ = true;
    TextCopy(overall_, "** Aborted **");
    PrintReport();
    // Nothing is left open for the process's exit to drop.
    ReleaseServer(&context_);
    CloseDevices();
    if (observer_ != nullptr) observer_->RunAborted(stop, context_);
    return kHarnessAborted;
  }
  passed_ = overall;
  TextCopy(overall_, overall ? "** Passed **" : "** Failed **");
  PrintReport();
  if (observer_ != nullptr) observer_->RunFinished(passed_, context_);
  // The socket library is released by whoever started it (the server link,
  // an open device), when it goes: a release here would take the library
  // from a link that outlives the run, or undo a start-up the run never made.
  return kHarnessOk;
}

void TestHarness::TellUndone(uint32_t index) {
  for (uint32_t j = 0; j < index; ++j) {
    if (list_[j].name == nullptr || std::strcmp(list_[j].name, context_.undoneTest) != 0) continue;
    if (list_[j].status == kLevelNotRun) continue;
    if (observer_ != nullptr) observer_->TestUndone(j, context_.undoneNote);
  }
}

void TestHarness::BuildResultLine(uint32_t i) {
  const TestRecord& entry = list_[i];
  char* line = lines_[i];
  TextCopy(line, kTextCapacity, entry.name);
  TextAppend(line, kTextCapacity, " : ");
  TextAppend(line, kTextCapacity, StatusName(entry.status));
  TextAppend(line, kTextCapacity, " : ");
  TextAppend(line, kTextCapacity, entry.details);
}

int TestHarness::PrintReport() {
  if (context_.quiet != 0) return 0;
  ComposeReport();
  sink_->Show(report_.data(), report_.size());
  return 0;
}

void TestHarness::ComposeReport() {
  report_.clear();
  for (int i = 0; i < kBlankLines; ++i) report_ += "\r\n";
  char piece[kPieceCapacity];
  TextFormat(piece, sizeof piece, "QXTest Version %0.02f\r\n", kStationVersion);
  report_ += piece;
  report_ += "Overall Result:           ";
  report_ += overall_;
  report_ += "\r\n\r\n";
  report_ += kHeadings;
  for (uint32_t i = 0; i < context_.testCount; ++i) {
    const TestRecord& entry = list_[i];
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
