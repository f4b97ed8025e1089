// The first test of every run: opens the first Z5 on USB and recognises it.
#pragma once

#include <cstdint>

#include "harness/context.h"

// Opens the device, prepares it for testing and checks its identity; leaves
// the handle in the context. Every failure is Fatal.
uint32_t OpenDevice(TestContext* context);
// Its limits, for the fingerprint of the station's limits.
void AppendOpenDeviceLimits(std::string* text);
