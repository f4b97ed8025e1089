// The station's own tables: the Z5's test table and run plan, the device
// types, and the tests that the table does not list. Here the rows are bound
// to the test functions of the folders below (server/, calibration/,
// production/, upgrade/), which know nothing of the station above them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "harness/context.h"
#include "harness/selection.h"

// The device-type code of the Z5, and the code that every test-table row carries.
constexpr uint32_t kZ5DeviceType = 2;

// The 21 tests of the full run, in run order, each with the stations that
// run it (harness/mask_bits.h).
extern const TestEntry kTestTable[];

// The Z5's list function: the rows of kTestTable selected by context->mask,
// with testCount. Returns 0 (1 for a null argument).
uint32_t GetTestList(TestContext* context, TestRecord* list);

// The station's device types.
extern const DeviceTypeEntry kDeviceTypes[];

// A test that the table does not list, which a bench engineer may add to a
// run by its function name (qxstation --add-test); a table ends with a row
// whose test is null.
struct ExtraTest {
  const char* name;
  TestFunction test;
};
extern const ExtraTest kExtraTests[];

// The row of table with this name (exact match), or null when there is none
// or either argument is null.
const ExtraTest* FindExtraTest(const ExtraTest* table, const char* name);

// What a test needs of the bench besides the device, so that a station can
// find it missing before the device is touched.
constexpr uint32_t kNeedsMeter = 1;   // it reads the bench meter (COM3)
constexpr uint32_t kNeedsServer = 2;  // it opens the connection to the test server
uint32_t BenchNeeds(TestFunction test);

// Every compiled-in limit and constant table of the tests as one canonical
// text ("name=%.17g" a line), and its SHA-256: a record made under other
// limits carries another fingerprint.
std::string LimitsText();
std::string LimitsFingerprint();
