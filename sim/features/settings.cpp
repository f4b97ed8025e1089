#include "sim/features/settings.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/byte_order.h"
#include "sim/core/protocol.h"

namespace qxsim {

std::vector<uint8_t> DeviceSettings::Save() const {
  std::vector<uint8_t> bytes(1 + kSimDeviceNameBytes);
  bytes[0] = factory_ ? 1 : 0;
  std::memcpy(bytes.data() + 1, name_, kSimDeviceNameBytes);
  return bytes;
}

void DeviceSettings::SetName(const std::string& name) {
  std::memset(name_, 0, sizeof name_);
  std::memcpy(name_, name.data(), std::min(name.size(), sizeof name_));
  ++generation_;
}

bool DeviceSettings::Load(const std::vector<uint8_t>& bytes) {
  if (bytes.size() != 1 + kSimDeviceNameBytes || bytes[0] > 1) return false;
  factory_ = bytes[0] == 1;
  std::memcpy(name_, bytes.data() + 1, kSimDeviceNameBytes);
  return true;
}

void DeviceSettings::Install(RegisterMap& map) {
  // 49000..49005: the factory flag (U32), a gap, the restore register (U32).
  map.Map(kSimStartupFactoryRegister, 6,
          std::make_shared<FunctionRegisters>(
              [this](uint16_t address, size_t count, uint16_t* values) {
                uint16_t regs[6] = {};
                PutU32(factory_ ? 1 : 0, regs);
                std::memcpy(values, regs + (address - kSimStartupFactoryRegister),
                            count * sizeof *values);
                return static_cast<uint8_t>(kExceptionNone);
              },
              [this](uint16_t address, size_t count, const uint16_t* values) {
                size_t offset = address - kSimStartupFactoryRegister;
                if (offset != 4 || count != 2) return static_cast<uint8_t>(kIllegalDataAddress);
                if (GetU32(values) != kSimStartupRestoreKey) {
                  return static_cast<uint8_t>(kIllegalDataValue);
                }
                if (!factory_) ++generation_;
                factory_ = true;
                return static_cast<uint8_t>(kExceptionNone);
              }));
  map.Map(kSimDeviceIpRegister, 2,
          std::make_shared<FunctionRegisters>(
              [this](uint16_t address, size_t count, uint16_t* values) {
                uint16_t regs[2];
                PutU32(ip_, regs);
                std::memcpy(values, regs + (address - kSimDeviceIpRegister),
                            count * sizeof *values);
                return static_cast<uint8_t>(kExceptionNone);
              },
              nullptr));
  map.Map(kSimDeviceNameRegister, kSimDeviceNameBytes / 2,
          std::make_shared<FunctionRegisters>(
              [this](uint16_t address, size_t count, uint16_t* values) {
                for (size_t i = 0; i < count; ++i) {
                  size_t b = 2 * (address - kSimDeviceNameRegister + i);
                  values[i] = static_cast<uint16_t>(name_[b] << 8 | name_[b + 1]);
                }
                return static_cast<uint8_t>(kExceptionNone);
              },
              [this](uint16_t address, size_t count, const uint16_t* values) {
                for (size_t i = 0; i < count; ++i) {
                  size_t b = 2 * (address - kSimDeviceNameRegister + i);
                  name_[b] = static_cast<uint8_t>(values[i] >> 8);
                  name_[b + 1] = static_cast<uint8_t>(values[i]);
                }
                ++generation_;
                return static_cast<uint8_t>(kExceptionNone);
              }));
}

}  // namespace qxsim
