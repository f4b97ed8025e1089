#include "harness/harness.h"

#include <cstring>

#include "platform/stop_request.h"
#include "qxm/qxm.h"

namespace {

constexpr const char* kReminder = "All functions must fill Msg and EL";

}  // namespace

TestHarness::TestHarness(uint32_t deviceType, uint32_t mask, uint32_t quiet, ReportSink* sink,
                         const DeviceTypeEntry* deviceTypes)
    : report_(sink) {
  context_.quiet = quiet;
  context_.deviceType = deviceType;
  context_.mask = mask;
  if (quiet == 0) AddObserver(&report_);

  const DeviceTypeEntry* row = FindDeviceType(deviceTypes, deviceType);
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
  Tell([this](RunObserver& o) { o.RunStarted(list_, context_.testCount, context_); });
  for (uint32_t i = 0; i < context_.testCount; ++i) {
    // A stop request taken between tests: nothing more starts.
    if (platform::StopRequested() != platform::kStopNone) break;
    const bool stopped = RunTest(i);
    if (context_.EL != kLevelPassed) overall = false;
    if (stopped || context_.EL == kLevelFatal) break;
  }
  const platform::StopKind stop = platform::StopRequested();
  if (stop != platform::kStopNone) return EndAborted(stop);
  passed_ = overall;
  TextCopy(overall_, overall ? "** Passed **" : "** Failed **");
  PrintReport();
  Tell([this](RunObserver& o) { o.RunFinished(passed_, context_); });
  // The socket library is released by whoever started it (the server link,
  // an open device), when it goes: a release here would take the library
  // from a link that outlives the run, or undo a start-up the run never made.
  return kHarnessOk;
}

bool TestHarness::RunTest(uint32_t i) {
  TestRecord& entry = list_[i];
  entry.status = kLevelRunning;
  PrintReport();
  TextCopy(entry.details, kReminder);
  Tell([i, &entry](RunObserver& o) { o.TestStarted(i, entry); });

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
  Tell([this, i, &entry](RunObserver& o) { o.TestFinished(i, entry, context_); });
  if (context_.undoneTest != nullptr) TellUndone(i);

  return stop != platform::kStopNone;
}

int TestHarness::EndAborted(platform::StopKind stop) {
  aborted_ = true;
  TextCopy(overall_, "** Aborted **");
  PrintReport();
  // Nothing is left open for the process's exit to drop.
  ReleaseServer(&context_);
  CloseDevices();
  Tell([this, stop](RunObserver& o) { o.RunAborted(stop, context_); });
  return kHarnessAborted;
}

void TestHarness::TellUndone(uint32_t index) {
  for (uint32_t j = 0; j < index; ++j) {
    if (list_[j].name == nullptr || std::strcmp(list_[j].name, context_.undoneTest) != 0) continue;
    if (list_[j].status == kLevelNotRun) continue;
    Tell([this, j](RunObserver& o) { o.TestUndone(j, context_.undoneNote); });
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
  Tell([this](RunObserver& o) { o.Show(*this); });
  return 0;
}

bool TestHarness::AddObserver(RunObserver* observer) {
  if (observer == nullptr || observerCount_ == kMaxObservers) return false;
  observers_[observerCount_++] = observer;
  return true;
}
