#include "sim/dio_registers.h"

#include <memory>

#include "sim/register_map.h"

namespace qxsim {

void InstallDioRegisters(VirtualDevice& device) {
  device.Install([](RegisterMap& map, DeviceCore&) {
    map.Map(kSimDioStateRegister, kSimDioLines,
            std::make_shared<StoredRegisters>(kSimDioStateRegister, kSimDioLines));
    map.Map(kSimDioDirectionRegister, kSimDioLines,
            std::make_shared<StoredRegisters>(kSimDioDirectionRegister, kSimDioLines));
  });
}

bool LineDrivenLow(VirtualDevice& device, int line) {
  if (line < 0 || static_cast<size_t>(line) >= kSimDioLines) return false;
  uint16_t direction = 0;
  uint16_t state = 1;
  if (device.ReadRegisters(static_cast<uint16_t>(kSimDioDirectionRegister + line), 1, &direction) !=
          0 ||
      device.ReadRegisters(static_cast<uint16_t>(kSimDioStateRegister + line), 1, &state) != 0) {
    return false;
  }
  return direction == 1 && state == 0;
}

}  // namespace qxsim
