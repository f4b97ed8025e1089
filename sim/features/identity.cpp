#include "sim/features/identity.h"

#include <cstring>
#include <memory>
#include <utility>

#include "platform/byte_order.h"
#include "sim/core/protocol.h"
#include "sim/features/versions.h"

namespace qxsim {

namespace {

constexpr uint8_t kSerialHeader[8] = {0x08, 0xBE, 0xE1, 0x7D, 0, 0, 0, 0};

}  // namespace

uint32_t SerialFromConfigPage(const uint8_t* page) {
  if (std::memcmp(page + kSimSerialRecordOffset, kSerialHeader, sizeof kSerialHeader) != 0) {
    return kSimNoSerial;
  }
  const uint8_t* v = page + kSimSerialRecordOffset + 8;
  return static_cast<uint32_t>(v[0]) | static_cast<uint32_t>(v[1]) << 8 |
         static_cast<uint32_t>(v[2]) << 16 | static_cast<uint32_t>(v[3]) << 24;
}

uint64_t MacFromConfigPage(const uint8_t* page) {
  const uint8_t* record = page + kSimMacRecordOffset;
  // An erased record is read as it stands, all ones, as the flash holds it;
  // any other record without its two zero bytes gives the default.
  bool erased = true;
  for (int i = 0; i < 8; ++i) erased = erased && record[i] == 0xFF;
  if (erased) return kSimErasedMac;
  if (record[0] != 0 || record[1] != 0) return kSimDefaultMac;
  uint64_t mac = 0;
  for (int i = 0; i < 6; ++i) mac = (mac << 8) | record[2 + i];
  return mac;
}

void WriteIdentityRecords(uint8_t* page, uint32_t serial, uint64_t mac) {
  std::memcpy(page + kSimSerialRecordOffset, kSerialHeader, sizeof kSerialHeader);
  for (int i = 0; i < 4; ++i) {
    page[kSimSerialRecordOffset + 8 + i] = static_cast<uint8_t>(serial >> (8 * i));
  }
  if (mac == 0) return;
  uint8_t* record = page + kSimMacRecordOffset;
  record[0] = 0;
  record[1] = 0;
  for (int i = 0; i < 6; ++i) record[2 + i] = static_cast<uint8_t>(mac >> (8 * (5 - i)));
}

uint32_t Identity::serialNumber() const {
  // Read through the const view: the other one counts as a change.
  return SerialFromConfigPage(std::as_const(flash_).RegionBytes(kConfigRegion).data());
}

uint64_t Identity::mac() const {
  return MacFromConfigPage(std::as_const(flash_).RegionBytes(kConfigRegion).data());
}

void Identity::SetIdentity(uint32_t serialNumber, uint64_t mac) {
  WriteIdentityRecords(flash_.RegionBytes(kConfigRegion).data(), serialNumber, mac);
}

uint8_t Identity::Read(uint16_t address, size_t count, uint16_t* values) const {
  uint16_t regs[kIdentityCount] = {};
  PutF32(kProductIdentifier, regs + (kProductIdRegister - kIdentityFirst));
  PutU32(isMax_ ? 1u : 0u, regs + (kEditionRegister - kIdentityFirst));
  uint64_t m = mac();
  for (int i = 0; i < 3; ++i) {
    regs[kMacRegister - kIdentityFirst + i] = static_cast<uint16_t>(m >> (32 - 16 * i));
  }
  PutU32(serialNumber(), regs + (kSerialRegister - kIdentityFirst));
  for (size_t i = 0; i < count; ++i) values[i] = regs[address - kIdentityFirst + i];
  return kExceptionNone;
}

void Identity::Install(RegisterMap& map) {
  auto block = std::make_shared<FunctionRegisters>(
      [this](uint16_t address, size_t count, uint16_t* values) {
        return Read(address, count, values);
      },
      nullptr);
  // The version registers between belong to the versions.
  map.Map(kIdentityFirst, kFirmwareVersionRegister - kIdentityFirst, block);
  constexpr uint16_t kAfterVersions = kBootloaderVersionRegister + 2;
  map.Map(kAfterVersions, kIdentityFirst + kIdentityCount - kAfterVersions, block);
}

}  // namespace qxsim
