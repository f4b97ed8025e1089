// Settings the device keeps across power cycles: whether its startup
// acquisition settings are the factory ones (49000 reads 1; writing the
// restore key to 49004 puts them back) and its name (40 bytes at 60500).
// Also the device's IPv4 address on the test network (49100, read-only).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/core/register_map.h"

namespace qxsim {

constexpr uint16_t kSimStartupFactoryRegister = 49000;
constexpr uint16_t kSimStartupRestoreRegister = 49004;
constexpr uint32_t kSimStartupRestoreKey = 0x2F9A6C13;
constexpr uint16_t kSimDeviceIpRegister = 49100;
constexpr uint16_t kSimDeviceNameRegister = 60500;
constexpr size_t kSimDeviceNameBytes = 40;

class DeviceSettings {
 public:
  void Install(RegisterMap& map);

  bool factory() const { return factory_; }
  void SetFactory(bool factory) { factory_ = factory; }
  std::vector<uint8_t> name() const { return std::vector<uint8_t>(name_, name_ + sizeof name_); }
  // Zero-filled after the name; a longer one is cut at 40 bytes.
  void SetName(const std::string& name);
  void SetIpAddress(uint32_t address) { ip_ = address; }
  // Bumped by every change of what Save gives.
  uint64_t generation() const { return generation_; }

  // The state-file section: the factory flag, then the name.
  std::vector<uint8_t> Save() const;
  bool Load(const std::vector<uint8_t>& bytes);

 private:
  bool factory_ = true;
  uint8_t name_[kSimDeviceNameBytes] = {};
  uint32_t ip_ = 0;
  uint64_t generation_ = 0;
};

}  // namespace qxsim
