// The device's answer to one Modbus TCP request, without any link: the
// request frame (MBAP header, unit, function, feedback records) in, the reply
// frame out. The TCP endpoints and an in-process device-access backend both
// call it, so both see the same device.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Splits the records (the bytes after the function code) and checks their
// form and the size of the reply they ask for; 0 or an exception code.
uint8_t ParseFeedbackRecords(const uint8_t* records, size_t length,
                             std::vector<FeedbackRecord>* out);

// The reply frame to a request frame of at least 8 bytes (shorter: an empty
// reply, nothing to answer). The transaction identifier and unit are echoed;
// a function other than the feedback function, or a request beyond the
// 1536-byte buffer, is refused with its exception. *restartRequested is set
// when the request wrote the restart register: the caller takes the device
// away once the reply has gone out.
std::vector<uint8_t> AnswerRequest(VirtualDevice& device, const uint8_t* request, size_t length,
                                   bool* restartRequested);

// A short name for an exception code ("illegal data address", ...).
const char* SimExceptionName(uint8_t code);

}  // namespace qxsim
