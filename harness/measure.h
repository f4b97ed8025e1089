// The measurement call of the tests: a named number with its unit and the
// limits the test judged it against, kept for the run's record only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "harness/context.h"
#include "harness/measurement.h"

// A number judged against the inclusive window [low, high] (either limit
// may be kNoLimit). Returns whether it is inside; use it only where the
// test's own check is that same window.
bool Measure(TestContext* context, const char* name, double value, const char* unit, double low,
             double high);
// A number the test judged itself (a strict limit, a relative tolerance):
// passed is the test's verdict; low and high say what it was held against.
void MeasureJudged(TestContext* context, const char* name, double value, const char* unit,
                   double low, double high, bool passed);
// A number only reported, without limits.
void Report(TestContext* context, const char* name, double value, const char* unit);

// Names where the failure of the test came from, for its record.
void SetFailureSource(TestContext* context, FailureSource source);

// The record's cause of a test that ended with status, from its source and
// whether a stop request met it; null for a test that passed or did not run.
const char* CauseName(uint32_t status, FailureSource source, bool stopped);

// One line of the canonical text of the compiled-in limits: "name=%.17g\n".
void AppendLimit(std::string* text, const char* name, double value);
// The same for every value of a table, named "name[i]".
void AppendLimits(std::string* text, const char* name, const double* values, size_t count);
