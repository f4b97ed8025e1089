// The one seam between a device-access request and the virtual device: the
// device as a request-to-reply backend (DeviceLink), and the faults of the
// link between them as a decorator of such a backend (FaultyLink). qxsim's
// device server puts one of each behind every connection; the in-process
// test device puts them behind the station's device-access library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "qxm/qxm.h"
#include "qxm/qxm_backend.h"

namespace qxsim {

class VirtualDevice;

enum class HeaderFault {
  kNone,
  kTransactionId,  // transaction identifier one off
  kProtocol,       // protocol identifier 1
  kLength,         // length 1531: one byte beyond the 1536-byte buffer
  kUnit,           // unit identifier one off
  kFunction,       // function code with its lowest bit flipped (76 -> 77)
};
// "tid", "protocol", "length", "unit", "function".
bool ParseHeaderFault(const std::string& text, HeaderFault* fault);
const char* HeaderFaultName(HeaderFault fault);
// Spoils one field of a reply's header (size bytes, at least 8) as the
// fault names.
void CorruptHeader(uint8_t* reply, size_t size, HeaderFault fault);

// Faults of one link. Those below dropAfter act on `times` requests (-1:
// all) once `after` more requests have passed unharmed.
struct LinkFaults {
  // A link answers this many requests; the next one closes it unanswered
  // and unprocessed. -1: never. Counted from the link's first request.
  int dropAfter = -1;
  int after = 0;
  int times = -1;
  bool noAnswer = false;  // the request vanishes unanswered; the device never sees it
  bool drop = false;      // the link closes, the request unanswered and unprocessed
  // Each reply is held back this long (on the clock in force).
  uint32_t slowMs = 0;
  HeaderFault corruptHeader = HeaderFault::kNone;
  int cutReplyTo = -1;  // the reply's data cut to this many bytes, its length saying so
  // A request touching this register is refused with this exception, unprocessed.
  int exceptionRegister = -1;
  uint8_t exceptionCode = 0;
  // Registers that read these values instead of the model's (another device).
  std::map<uint16_t, uint16_t> misread;
};

// The virtual device answering requests. The buffer holds a request of
// QXM_BUFFER_SIZE bytes at most (its length in bytes 4-5; of a longer one
// only the header, which is refused) and receives the reply.
class DeviceLink : public QxmBackend {
 public:
  explicit DeviceLink(VirtualDevice& device) : device_(device) {}
  int Exchange(unsigned char* buffer, int* errorAddress) override;
  // Whether a request wrote the restart register since the last call: the
  // caller takes the device away once its reply has gone.
  bool TakeRestartRequest() {
    bool requested = restartRequested_;
    restartRequested_ = false;
    return requested;
  }

 private:
  VirtualDevice& device_;
  unsigned char reply_[QXM_BUFFER_SIZE];
  bool restartRequested_ = false;
};

// The faults in force between a link and the backend behind it. Exchange
// gives QXM_ERR_REPLY_TIMEOUT for a request that vanished and
// QXM_ERR_CONNECTION_LOST for a link that closes; a slow reply waits through
// the hold the owner gives.
class FaultyLink : public QxmBackend {
 public:
  // Holds a reply back for ms; 0 once it may go, or the code for a reply
  // that never arrives.
  using Hold = std::function<int(uint32_t ms)>;
  FaultyLink(QxmBackend& inner, Hold hold) : inner_(inner), hold_(std::move(hold)) {}

  // New faults; the count of requests for dropAfter goes on.
  void Set(const LinkFaults& faults) { faults_ = faults; }
  const LinkFaults& faults() const { return faults_; }
  int Exchange(unsigned char* buffer, int* errorAddress) override;
  // The bytes of the last reply, a spoilt length field notwithstanding.
  size_t replyBytes() const { return replyBytes_; }

 private:
  void Refuse(unsigned char* buffer);
  void Misread(const unsigned char* request, unsigned char* reply);
  void Cut(unsigned char* reply);

  QxmBackend& inner_;
  Hold hold_;
  LinkFaults faults_;
  uint64_t carried_ = 0;
  size_t replyBytes_ = 0;
};

}  // namespace qxsim
