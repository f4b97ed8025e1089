// The two analog outputs, read back through the jig's loop-back of DAC0 to
// analog input 0 and DAC1 to input 1, at a low and a high code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "harness/context.h"

constexpr uint32_t kDacLowCode = 0x2000;
constexpr uint32_t kDacHighCode = 0xC000;
constexpr int kDacReadings = 16;

// True when the average of the readings at this code lies in its window.
bool DacAverageInWindow(uint32_t code, double average);
// The windows, for the fingerprint of the station's limits.
void AppendDacLimits(std::string* text);

uint32_t DacTest(TestContext* context);
