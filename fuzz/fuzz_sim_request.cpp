// qxsim's request parser on any bytes, as its endpoints receive them: the
// reply frame and the device behind it, never a read past the request.
#include <cstddef>
#include <cstdint>

#include "sim/bench.h"
#include "sim/feedback.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One bench for the whole run, not started: its device and jig without
  // sockets. Writes pile up in its flash, as on a device that is never reset.
  static qxsim::Bench* bench = new qxsim::Bench();
  bool restart = false;
  qxsim::AnswerRequest(bench->device(), data, size, &restart);
  if (restart) bench->device().PowerOn();
  return 0;
}
