// Message conventions shared by every test.
#pragma once

#include <cstdint>

#include "harness/context.h"

// The usual end of a test on a failed device access: Msg = "Comm Error: "
// followed by "(code)", EL = Fatal. Returns 1, the test's result.
uint32_t FailComm(TestContext* context, int code);

// Msg = text, EL = level. Returns 0 for a pass, 1 otherwise.
uint32_t Finish(TestContext* context, uint32_t level, const char* text);
