// The station's version: one number, which the report shows, the test server
// is told and the records carry, and which every program's --version prints.
#pragma once

constexpr double kStationVersion = 0.12;

// kStationVersion as the report prints it, two decimals ("0.12").
const char* StationVersionText();
