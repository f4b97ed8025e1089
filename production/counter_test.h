// The four counter inputs against counts emitted by sources on the device
// itself, in two phases (counter 0, then counter 1, each with counters 2 and
// 3) and two sets of counts.
#pragma once

#include <cstdint>

#include "harness/context.h"

// How long the sources take to emit their counts.
constexpr uint32_t kCounterSettleMs = 300;

// Expected counts per set: first counter (0 or 1), counter 2, counter 3. The
// low 16 bits of each are the count given to its source.
constexpr uint32_t kCounterSets[2][3] = {{5000, 5468, 5783}, {45327, 57826, 29432}};

uint32_t CounterTest(TestContext* context);
void AppendCounterLimits(std::string* text);
