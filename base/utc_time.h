// UTC times as the records and reports write them, ISO 8601, from a count
// since the Unix epoch; no C library time zone state is involved.
#pragma once

#include <cstdint>
#include <string>

// "2026-03-02T08:15:30Z".
std::string UtcText(int64_t seconds);
// "2026-03-02T08:15:30.250Z".
std::string UtcMsText(int64_t ms);
