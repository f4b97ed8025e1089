// Modbus TCP framing of the feedback exchange, as pure functions over bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qxm/modbus_wire.h"

// Total size of the request in buffer (header plus what its length field
// declares), or 0 when that would not fit capacity or is too short to hold a
// unit and a function code.
size_t RequestSize(const unsigned char* buffer, size_t capacity);

// Checks the 7-byte MBAP header of a reply against the request it answers.
// On success *bodyLength is the number of bytes after the header (function
// code included), already checked to fit capacity. Returns 0 or a QxmError.
int CheckReplyHeader(const unsigned char* header, uint16_t transaction, uint8_t unit,
                     size_t capacity, size_t* bodyLength);

// Checks the function code of a complete reply (header + body). An exception
// reply becomes QXM_ERR_DEVICE_EXCEPTION_BASE + its exception code, and its
// detail (a register address after the code, when the device sends one) goes
// to *errorAddress.
int CheckReplyFunction(const unsigned char* reply, size_t size, int* errorAddress);
