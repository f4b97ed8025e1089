// The named stations of the line, and the checks that keep an operator's typo
// in a mask from passing a device.
#pragma once

#include <cstdint>

#include "harness/context.h"

struct NamedStation {
  const char* name;
  uint32_t mask;
  const char* description;
};

// Ends with a row whose name is null.
extern const NamedStation kNamedStations[];

// The station with this name, or null.
const NamedStation* FindStation(const char* name);

// Why a test list must not run, or null when it may: a list that runs
// nothing, or one that does not open the device first. reason receives the
// text (kTextCapacity characters).
const char* RefuseTestList(const TestRecord* list, uint32_t count, uint32_t mask, char* reason,
                           size_t capacity);
