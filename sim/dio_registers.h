// The device's digital lines as far as the jig's wiring needs them: a state
// bank (2000 + line) and a direction bank (2100 + line, 1 = output), as the
// station drives them two registers at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/virtual_device.h"

namespace qxsim {

constexpr uint16_t kSimDioStateRegister = 2000;
constexpr uint16_t kSimDioDirectionRegister = 2100;
constexpr size_t kSimDioLines = 23;

void InstallDioRegisters(VirtualDevice& device);

// True when the line is an output driven low. Takes the device lock.
bool LineDrivenLow(VirtualDevice& device, int line);

}  // namespace qxsim
