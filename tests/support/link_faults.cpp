#include "tests/support/link_faults.h"

#include "platform/clock.h"
#include "qxm/qxm_backend.h"
#include "qxm/qxm_errors.h"
#include "sim/core/protocol.h"
#include "tests/support/link_recorder.h"

int FaultInjector::Carry(std::vector<uint8_t>* frame,
                         const std::function<void(std::vector<uint8_t>*)>& answer) {
  if (faults_.after > 0 || faults_.times == 0) {
    if (faults_.after > 0) --faults_.after;
    answer(frame);
    return QXM_OK;
  }
  if (faults_.times > 0) --faults_.times;
  if (faults_.noAnswer) return QXM_ERR_REPLY_TIMEOUT;
  if (faults_.drop) return QXM_ERR_CONNECTION_LOST;
  const Bytes request = *frame;
  bool refused = false;
  ForEachRecord(request, [&](bool, uint16_t address, size_t count, size_t) {
    refused |= faults_.exceptionRegister >= address &&
               faults_.exceptionRegister < static_cast<int>(address + count);
  });
  if (refused) {
    frame->resize(qxsim::kHeaderBytes + 1);
    (*frame)[4] = 0;  // length 3: unit, function, code
    (*frame)[5] = 3;
    (*frame)[7] |= qxsim::kExceptionFlag;
    (*frame)[8] = faults_.exceptionCode;
  } else {
    answer(frame);
  }
  Bytes& reply = *frame;
  const bool data = reply.size() >= qxsim::kHeaderBytes && reply[7] == qxsim::kFeedbackFunction;
  if (data && !faults_.misread.empty()) {
    ForEachRecord(request, [&](bool write, uint16_t address, size_t count, size_t offset) {
      for (size_t i = 0; i < count && !write; ++i) {
        auto it = faults_.misread.find(static_cast<uint16_t>(address + i));
        size_t at = qxsim::kHeaderBytes + offset + 2 * i;
        if (it == faults_.misread.end() || at + 2 > reply.size()) continue;
        reply[at] = static_cast<uint8_t>(it->second >> 8);
        reply[at + 1] = static_cast<uint8_t>(it->second);
      }
    });
  }
  if (data && faults_.cutReplyTo >= 0 &&
      reply.size() > qxsim::kHeaderBytes + static_cast<size_t>(faults_.cutReplyTo)) {
    reply.resize(qxsim::kHeaderBytes + faults_.cutReplyTo);
    reply[4] = static_cast<uint8_t>((reply.size() - qxsim::kMbapBytes) >> 8);
    reply[5] = static_cast<uint8_t>(reply.size() - qxsim::kMbapBytes);
  }
  qxsim::CorruptHeader(reply.data(), reply.size(), faults_.corruptHeader);
  if (faults_.slowMs > 0) {
    // The device has acted; a reply later than the library waits is lost
    // to it, as on TCP, once the time-out has passed.
    const uint32_t timeoutMs = QxmReplyTimeoutMs();
    const bool late = faults_.slowMs > timeoutMs;
    const uint32_t waitMs = late ? timeoutMs : faults_.slowMs;
    auto* fake = dynamic_cast<platform::FakeClock*>(&platform::GetClock());
    if (fake != nullptr) {
      fake->Advance(waitMs);
    } else {
      platform::SleepMs(waitMs);
    }
    if (late) return QXM_ERR_REPLY_TIMEOUT;
  }
  return QXM_OK;
}
