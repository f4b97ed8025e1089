// Test tables and their selection by station mask, as pure functions over
// tables that the caller supplies.
#pragma once

#include <cstdint>

#include "harness/context.h"

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

// True when a row with these masks runs on a station with this mask.
bool RowSelected(uint32_t selection, uint32_t exclusion, uint32_t mask);

// Fills list (kMaxTests entries) with the rows of table that mask selects, in
// table order, and sets *count. Stops at the row with a null test or at
// kMaxTests entries. Returns 0, or 1 for a null argument (then *count, when
// given, is 0).
uint32_t SelectTests(const TestEntry* table, uint32_t mask, TestRecord* list, uint32_t* count);

// Builds a device type's test list into list (kMaxTests entries).
using TestListFunction = uint32_t (*)(TestContext* context, TestRecord* list);

// One row of a device-type table; a table ends with a row whose function is null.
struct DeviceTypeEntry {
  const char* name;
  uint32_t code;
  TestListFunction getList;
};

// The row of table with this code, or null when there is none.
const DeviceTypeEntry* FindDeviceType(const DeviceTypeEntry* table, uint32_t deviceType);
