// Identity: the product identifier, the edition, and the serial number and
// MAC address, which follow the records of the configuration flash page at
// once (the station reads them back right after writing the records).
// Registers 60000..60003 and 60008..60029, read-only; unused ones read 0.
#pragma once

#include <cstdint>

#include "sim/core/flash.h"
#include "sim/core/register_map.h"

namespace qxsim {

constexpr uint16_t kProductIdRegister = 60000;  // F32, 17.0
constexpr uint16_t kEditionRegister = 60010;    // U32, bit 0: "-Max"
constexpr uint16_t kMacRegister = 60020;        // 3 registers, MAC bytes
constexpr uint16_t kSerialRegister = 60028;     // U32
constexpr uint16_t kIdentityFirst = 60000;      // the read-only block, versions included
constexpr size_t kIdentityCount = 30;
constexpr float kProductIdentifier = 17.0f;
constexpr uint32_t kFactorySerial = 470010000;

// Configuration page records.
constexpr uint32_t kSimSerialRecordOffset = 0;
constexpr uint32_t kSimMacRecordOffset = 0x14;
constexpr uint64_t kSimDefaultMac = 0x027C4B002000;
constexpr uint64_t kSimErasedMac = 0xFFFFFFFFFFFF;  // an erased MAC record
constexpr uint32_t kSimNoSerial = 0xFFFFFFFF;

// The serial number that the configuration page gives (page = its 4096
// bytes): the record's value when its header is there, else none.
uint32_t SerialFromConfigPage(const uint8_t* page);
// The MAC address that the configuration page gives: the record's six bytes
// when the record is there, else the factory default.
uint64_t MacFromConfigPage(const uint8_t* page);
// A configuration page's records for a starting identity (the rest of the
// bytes untouched): serial record, and MAC record unless mac is 0.
void WriteIdentityRecords(uint8_t* page, uint32_t serial, uint64_t mac);

class Identity {
 public:
  Identity(FlashMemory& flash, bool isMax) : flash_(flash), isMax_(isMax) {}
  void Install(RegisterMap& map);

  bool isMax() const { return isMax_; }
  void SetMax(bool isMax) { isMax_ = isMax; }
  uint32_t serialNumber() const;
  uint64_t mac() const;
  // Writes the configuration page's records (raw), as the factory would.
  void SetIdentity(uint32_t serialNumber, uint64_t mac);

 private:
  uint8_t Read(uint16_t address, size_t count, uint16_t* values) const;

  FlashMemory& flash_;
  bool isMax_;
};

}  // namespace qxsim
