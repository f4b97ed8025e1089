// The compiled-in test table, its selection by station mask, and the
// device-type table through which the harness reaches it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "harness/test_context.h"

// The device-type code of the Z5, and the code that every test-table row carries.
constexpr uint32_t kZ5DeviceType = 2;

// Bit 30 of a selection mask: the row needs every one of its station bits.
constexpr uint32_t kSelectAll = 0x40000000;
// Bits 0-23 of a selection mask: the stations that run the row.
constexpr uint32_t kStationBits = 0xFFFFFF;

// One row of a test table; a table ends with a row whose test is null.
struct TestEntry {
  const char* name;
  uint32_t code;  // not consulted by the selection
  TestFunction test;
  uint32_t selection;  // station bits, and kSelectAll
  uint32_t exclusion;  // mask bits that drop the row even when it is selected
};

// The real table: only rows whose tests exist, in run order.
extern const TestEntry kTestTable[];

// A test that the table does not list, which a bench engineer may add to a
// run by its function name; a table ends with a row whose test is null.
struct ExtraTest {
  const char* name;
  TestFunction test;
};
extern const ExtraTest kExtraTests[];

// The row of table with this name, or null when there is none.
const ExtraTest* FindExtraTest(const ExtraTest* table, const char* name);

// Name and masks of one test of the full run.
struct TestPlanRow {
  const char* name;
  uint32_t selection;
  uint32_t exclusion;
};

// Every test of the full run, in run order. A row of kTestTable carries the
// name and masks of its row here.
constexpr size_t kTestPlanSize = 21;
extern const TestPlanRow kTestPlan[kTestPlanSize];

// True when a row with these masks runs on a station with this mask.
bool RowSelected(uint32_t selection, uint32_t exclusion, uint32_t mask);

// Fills list (kMaxTests entries) with the rows of table that mask selects, in
// table order, and sets *count. Stops at the row with a null test or at
// kMaxTests entries. Returns 0, or 1 for a null argument (then *count, when
// given, is 0).
uint32_t SelectTests(const TestEntry* table, uint32_t mask, TestRecord* list, uint32_t* count);

// The Z5's list function: the rows of kTestTable selected by context->mask,
// with testCount. Returns 0 (1 for a null argument).
uint32_t GetTestList(TestContext* context, TestRecord* list);

// Builds a device type's test list into list (kMaxTests entries).
using TestListFunction = uint32_t (*)(TestContext* context, TestRecord* list);

// One row of a device-type table; a table ends with a row whose function is null.
struct DeviceTypeEntry {
  const char* name;
  uint32_t code;
  TestListFunction getList;
};

// The station's device types.
extern const DeviceTypeEntry kDeviceTypes[];

// The row of table with this code, or null when there is none.
const DeviceTypeEntry* FindDeviceType(const DeviceTypeEntry* table, uint32_t deviceType);
