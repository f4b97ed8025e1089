// Wire constants of the device's Modbus TCP service: the MBAP header, the
// functions served, and the exception codes the device answers with.
//
// Exception reply: MBAP header (transaction identifier echoed, protocol 0,
// length 3, unit echoed), the function | 0x80, one exception code byte. That
// byte is the only detail an exception carries; a client library can pass
// it on as the error's detail (the device reports no register address).
#pragma once

#include <cstddef>
#include <cstdint>

#include "qxm/modbus_wire.h"
#include "qxm/qxm.h"

namespace qxsim {

// The feedback function, the exception flag and the MBAP header are the
// device-access library's (qxm/modbus_wire.h).
// The standard functions, for tools that do not speak function 76.
constexpr uint8_t kReadHoldingRegisters = 3;
constexpr uint8_t kReadInputRegisters = 4;
constexpr uint8_t kWriteSingleRegister = 6;
constexpr uint8_t kWriteMultipleRegisters = 16;
constexpr size_t kMaxReadRegisters = 125;             // what one standard read may ask for
constexpr size_t kMaxWriteRegisters = 123;            // and one write of several carry
constexpr size_t kMbapBytes = kMbapHeaderSize - 1;    // transaction, protocol, length
constexpr size_t kHeaderBytes = kMbapHeaderSize + 1;  // MBAP + unit + function
// The station's request/reply buffer; neither may grow beyond it.
constexpr size_t kMaxPacketBytes = QXM_BUFFER_SIZE;

// Exception codes of the device.
enum SimException : uint8_t {
  kExceptionNone = 0,
  // A function code the device does not serve.
  kIllegalFunction = 0x01,
  // A register that nothing serves, a write to a read-only register, a
  // flash address outside the regions.
  kIllegalDataAddress = 0x02,
  // A malformed request (truncated record, direction byte other than 0 or
  // 1, register count 0, request or reply beyond 1536 bytes) or a value the
  // register refuses (erase address not a page base, write window of the
  // wrong size, restart register written with another value).
  kIllegalDataValue = 0x03,
  // The device failed to do it: a flash write that did not take.
  kDeviceFailure = 0x04,
  // The flash key in force does not belong to the region addressed.
  kWrongFlashKey = 0x07,
};

}  // namespace qxsim
