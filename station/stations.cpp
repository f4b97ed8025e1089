#include "station/stations.h"

#include <cstring>

#include "base/text.h"
#include "harness/mask_bits.h"

const NamedStation kNamedStations[] = {
    {"usb-check", kMaskUsbCheck, "opens the device on USB and checks its identity"},
    {"no-jig", kMaskNoJig | kMaskReports | kMaskMaySerialize | kMaskMayUpdateMac,
     "production checks without a jig; serial number and MAC from the server"},
    {"calibration",
     kMaskProduction | kMaskJig | kMaskReports | kMaskSetClock | kMaskMayUpdateMac |
         kMaskCalibration | kMaskMaySerialize | kMaskRestoreSettings,
     "the full calibration station: jig, server, calibration, production, serial "
     "number, MAC, clock and startup settings set"},
    {"final", kMaskProduction | kMaskJig | kMaskReports,
     "jig, server and production checks; checks what calibration set"},
    {nullptr, 0, nullptr},
};

const NamedStation* FindStation(const char* name) {
  if (name == nullptr) return nullptr;
  for (const NamedStation* s = kNamedStations; s->name != nullptr; ++s) {
    if (std::strcmp(s->name, name) == 0) return s;
  }
  return nullptr;
}

const char* RefuseTestList(const TestRecord* list, uint32_t count, uint32_t mask, char* reason,
                           size_t capacity) {
  if (count == 0) {
    TextFormat(reason, capacity, "mask 0x%X selects no test", static_cast<unsigned>(mask));
    return reason;
  }
  // Every later test uses the handle that the opening test leaves.
  if (list == nullptr || list[0].name == nullptr ||
      std::strcmp(list[0].name, "Open Quenlox") != 0) {
    TextFormat(reason, capacity,
               "the tests of mask 0x%X do not start with \"Open Quenlox\": nothing would open "
               "the device",
               static_cast<unsigned>(mask));
    return reason;
  }
  return nullptr;
}
