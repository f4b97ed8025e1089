// Wire constants of the Modbus TCP feedback exchange, shared by the library
// that frames it and by the station that packs the requests.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kMbapHeaderSize = 7;  // transaction, protocol, length, unit
constexpr uint8_t kFeedbackFunction = 76;
constexpr uint8_t kExceptionFlag = 0x80;
