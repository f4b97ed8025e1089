#include "harness/selection.h"

bool RowSelected(uint32_t selection, uint32_t exclusion, uint32_t mask) {
  uint32_t bits = selection & kStationBits;
  bool selected = (selection & kSelectAll) != 0 ? (bits & mask) == bits : (bits & mask) != 0;
  return selected && (exclusion & mask) == 0;
}

uint32_t SelectTests(const TestEntry* table, uint32_t mask, TestRecord* list, uint32_t* count) {
  if (count != nullptr) *count = 0;
  if (table == nullptr || list == nullptr || count == nullptr) return 1;
  uint32_t n = 0;
  for (const TestEntry* row = table; row->test != nullptr && n < kMaxTests; ++row) {
    if (!RowSelected(row->selection, row->exclusion, mask)) continue;
    TestRecord& entry = list[n++];
    entry.name = row->name;
    entry.test = row->test;
    entry.status = kLevelNotRun;
    entry.details[0] = '\0';
  }
  *count = n;
  return 0;
}

const DeviceTypeEntry* FindDeviceType(const DeviceTypeEntry* table, uint32_t deviceType) {
  if (table == nullptr) return nullptr;
  for (const DeviceTypeEntry* row = table; row->getList != nullptr; ++row) {
    if (row->code == deviceType) return row;
  }
  return nullptr;
}
