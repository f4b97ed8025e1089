// The device's answer to one Modbus TCP request, without any link: the
// request frame (MBAP header, unit, function, its data) in, the reply frame
// out. The TCP endpoints and an in-process device-access backend both call
// it, so both see the same device.
//
// Functions served, all on the one register map:
//   76  the feedback function: a list of read and write records;
//   3, 4  read holding / input registers (1..125 registers);
//   6   write a single register;
//   16  write multiple registers (1..123 registers).
// A standard request of the wrong size or with a count out of range is
// refused with kIllegalDataValue, one that touches a register nothing serves
// with kIllegalDataAddress; a handler's own refusal passes unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace qxsim {

class VirtualDevice;

// One feedback record as it arrived.
struct FeedbackRecord {
  bool write;
  uint16_t address;
  uint8_t count;
  const uint8_t* data;  // write records: count * 2 bytes, big-endian
};

// Walks the records (the bytes after the function code): *at is where the
// next one starts. Returns 0 with *record filled, or an exception code for a
// record that is malformed. Callers stop when *at reaches length.
uint8_t NextFeedbackRecord(const uint8_t* records, size_t length, size_t* at,
                           FeedbackRecord* record);

// Calls fn for each record of a feedback request frame (header first), up
// to the first malformed one: a write's offset is where its values start in
// the request, a read's where its values start in the reply's data.
void ForEachRecord(
    const uint8_t* request, size_t size,
    const std::function<void(bool write, uint16_t address, size_t count, size_t offset)>& fn);

// Writes the reply frame to a request frame of at least 8 bytes into reply
// (room for kMaxPacketBytes) and returns its size; 0 for a shorter request
// (nothing to answer). The transaction identifier and unit are echoed; a
// function not served above, or a request beyond the 1536-byte buffer, is
// refused with its exception (of such a request, only the 8 header bytes
// are read: length may exceed what request holds). *restartRequested is set when the request wrote
// the restart register: the caller takes the device away once the reply has
// gone out. Allocates nothing.
size_t AnswerRequest(VirtualDevice& device, const uint8_t* request, size_t length, uint8_t* reply,
                     bool* restartRequested);
// The same into a new vector, for callers that keep replies.
std::vector<uint8_t> AnswerRequest(VirtualDevice& device, const uint8_t* request, size_t length,
                                   bool* restartRequested);

// The first register a request frame names (0xFFFF: none).
uint16_t RequestFirstRegister(const uint8_t* request, size_t length);

// A short name for an exception code ("illegal data address", ...).
const char* SimExceptionName(uint8_t code);

}  // namespace qxsim
