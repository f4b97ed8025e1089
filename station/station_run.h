// What qxstation does once its command line is read: plans the list, refuses
// a list that must not run, tries what the run needs before the device is
// touched, runs the harness with the run's record as an observer, and writes
// the record and the JUnit file. Problems are named on standard error.
#pragma once

#include <cstdint>

#include "harness/context.h"
#include "station/station_options.h"

// The list the harness will run: the rows the mask selects, then the added
// tests. *selected of them come from the mask.
uint32_t PlannedTests(const StationOptions& options, TestRecord* list, uint32_t* selected);
// The record folder and the JUnit file, tried before the device is touched:
// a run must not end without its record. False with the problem named.
bool OutputsCanBeWritten(const StationOptions& options);
// What the tests need of the bench besides the device, tried before the
// device is touched; false with the problem named.
bool BenchIsThere(const TestRecord* list, uint32_t count);
// The whole of qxstation after its options: the exit status (0 passed,
// 1 failed, 2 refused).
int RunStation(const StationOptions& options);
