// Faults between the station's device-access library and the bench device.
// Set together, they act on `times` requests (or all) once `after` more
// requests have passed unharmed.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "sim/device_server.h"

struct LinkFaults {
  int after = 0;          // requests that still pass unharmed
  int times = -1;         // requests the faults then act on (-1: all)
  bool noAnswer = false;  // the request is lost: the time-out code at once, no wait
  bool drop = false;      // the connection closes unanswered: connection lost
  // Each reply takes this long (on the clock in force); longer than the
  // library's reply time-out, it is a time-out after the device acted.
  uint32_t slowMs = 0;
  qxsim::HeaderFault corruptHeader = qxsim::HeaderFault::kNone;
  int cutReplyTo = -1;  // the reply's data cut to this many bytes, its length saying so
  // A request touching this register is refused with this exception, unprocessed.
  int exceptionRegister = -1;
  uint8_t exceptionCode = 0;
  // Registers that read these values instead of the model's (another device).
  std::map<uint16_t, uint16_t> misread;
};

class FaultInjector {
 public:
  void Set(const LinkFaults& faults) { faults_ = faults; }
  // Carries a request frame to the device (answer) with the faults in force;
  // 0 with the reply in *frame, or the library's code.
  int Carry(std::vector<uint8_t>* frame, const std::function<void(std::vector<uint8_t>*)>& answer);

 private:
  LinkFaults faults_;
};
