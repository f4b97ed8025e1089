// Pieces that every record of version 2 shares (the station's run record and
// the upgrade's), over nlohmann-json.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

// Bytes above 0x7F taken as Latin-1, as UTF-8.
std::string Utf8Text(const std::string& text);
// The station's version as --version shows it ("0.12").
std::string VersionText();
// A version as the station shows it ("1.0300"), or null when it is no number.
nlohmann::json VersionOrNull(double version);
// schema, id, program, version, build, host, start, end, result and cause.
nlohmann::json RecordHead(const char* program, const std::string& id, const std::string& host,
                          int64_t startMs, int64_t endMs, const char* result, const char* cause);
// The document as written: indented, one line end at its end.
std::string RecordText(const nlohmann::json& record);
