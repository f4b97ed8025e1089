// The state that the tests of one run share, and the levels they report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/text.h"
#include "harness/measurement.h"

// Longest test list a harness holds.
constexpr uint32_t kMaxTests = 50;

// A test's result; also the index into the status-name table.
enum ErrorLevel : uint32_t {
  kLevelNotRun = 0,
  kLevelRunning = 1,
  kLevelPassed = 2,
  kLevelWarning = 3,  // passed, but the run fails
  kLevelError = 4,    // failed; the run goes on
  kLevelFatal = 5,    // failed; the run stops after this test
};

constexpr uint32_t kLevelCount = 6;

// Index = ErrorLevel.
extern const char* const kStatusNames[kLevelCount];

// The status name of a level; a level outside the table gives "Unknown".
const char* StatusName(uint32_t level);

// jigValues, as "Read Test Jig Info" takes them from the jig.
constexpr int kJigScaleVmPlus = 0;    // Vm+ scale
constexpr int kJigScaleVmMinus = 1;   // Vm- scale
constexpr int kJigResistor200uA = 2;  // the 200 uA source's resistor, ohms
constexpr int kJigResistor10uA = 3;   // the 10 uA source's resistor, ohms
constexpr int kJigSenseOhms = 4;      // the current-sense resistor, ohms
constexpr int kJigBiasOhms = 5;       // the bias-current resistor, ohms
constexpr int kJigValueCount = 6;

class ServerLink;

// Releases a server link that a test created; stored beside the link so that
// the harness can free a link whose type it does not know.
using ServerRelease = void (*)(ServerLink* link);

struct TestContext {
  int32_t handle = 0;          // device handle for every register access
  int32_t usbHandle = 0;       // the USB connection; equals handle after opening
  int32_t ethernetHandle = 0;  // the TCP connection, once the Ethernet test has run
  uint32_t deviceType = 0;
  uint32_t mask = 0;  // selection and option bits
  uint32_t EL = 0;    // ErrorLevel of the test just run
  char stationText1[kTextCapacity] = {};
  char stationText2[kTextCapacity] = {};
  char Msg[kTextCapacity] = {};  // result text of the test just run
  // A detail of the test just run for the run's record only: the console
  // report and the test server never show it. Cleared before every test.
  char recordNote[kTextCapacity] = {};
  char stationNote[kNoteCapacity] = {};
  uint32_t testCount = 0;
  uint32_t jigCode = 0;
  uint32_t jigType = 0;
  double jigValues[kJigValueCount] = {};
  uint32_t quiet = 0;  // non-zero: the harness prints nothing
  ServerLink* server = nullptr;
  uint8_t isMax = 0;  // 1 for the "-Max" edition
  int64_t serialNumber = 0;
  char* resultLines[kMaxTests] = {};  // one report line per test; null until it has run
  // How to free server; set together with it through SetServer.
  ServerRelease serverRelease = nullptr;
  // Set by a test that left the device no longer holding what an earlier
  // test of the run wrote or read (its name in the list), with the reason
  // in undoneNote; the harness tells the run's record. Cleared before every
  // test.
  const char* undoneTest = nullptr;
  char undoneNote[kTextCapacity] = {};
  // For the run's record only (harness/measure.h): the numbers of the test
  // just run and where its failure came from, both cleared before every
  // test, and what the run learnt of the device.
  std::vector<Measurement> measurements;
  FailureSource failureSource = kSourceDevice;
  RecordedIdentity identity;
};

// Stores a new server link in the context, releasing the one stored before
// (if any). release frees link later; it may be null only when link is.
void SetServer(TestContext* context, ServerLink* link, ServerRelease release);

// Frees the stored server link, if any, and clears the field.
void ReleaseServer(TestContext* context);

// The type of every test function: the verdict goes into EL and Msg; the
// returned value (0 passed, 1 ended early) is not used by the harness.
using TestFunction = uint32_t (*)(TestContext* context);

// One entry of the harness's test list.
struct TestRecord {
  const char* name = nullptr;  // display name, from the test table
  uint32_t status = kLevelNotRun;
  char details[kTextCapacity] = {};  // the report's details column
  TestFunction test = nullptr;
};
