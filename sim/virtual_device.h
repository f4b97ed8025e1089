// The virtual Z5: one device state behind both endpoints. It answers the
// feedback function's records through its register map (register_map.h
// explains how features add registers), keeps its flash, and carries the
// identity and version registers, the flash interface, the configuration
// page behind the serial-number and MAC registers, and the restart register.
//
// Thread-safe: every public operation takes the device lock, and a whole
// feedback request runs under it, so requests from the two endpoints never
// interleave inside one packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim/flash.h"
#include "sim/register_map.h"

namespace qxsim {

// Registers of the core model.
constexpr uint16_t kProductIdRegister = 60000;          // F32, 17.0
constexpr uint16_t kFirmwareVersionRegister = 60004;    // F32, the running firmware
constexpr uint16_t kBootloaderVersionRegister = 60006;  // F32
constexpr uint16_t kEditionRegister = 60010;            // U32, bit 0: "-Max"
constexpr uint16_t kMacRegister = 60020;                // 3 registers, MAC bytes
constexpr uint16_t kSerialRegister = 60028;             // U32
constexpr uint16_t kIdentityFirst = 60000;              // read-only block
constexpr size_t kIdentityCount = 30;
constexpr uint16_t kFlashKeyRegister = 61800;      // U32, written
constexpr uint16_t kFlashPointerRegister = 61810;  // U32, read pointer
constexpr uint16_t kFlashReadWindow = 61812;       // 16 registers
constexpr uint16_t kFlashEraseRegister = 61820;    // U32, page base
constexpr uint16_t kFlashWriteWindow = 61830;      // 2 + n/2 registers
constexpr size_t kFlashWindowBytes = 32;
constexpr uint16_t kFlashInterfaceFirst = 61800;
constexpr size_t kFlashInterfaceCount = 48;   // up to the write window's end
constexpr uint16_t kRestartRegister = 61996;  // U32
constexpr uint32_t kRestartValue = 0x6B2E41D7;
// Written by the opening test; kept, not acted on yet.
constexpr uint16_t kOpeningU32Register = 4992;
constexpr uint16_t kOpeningU16Register = 48005;
constexpr uint16_t kMeterSourceRegister = 30014;  // F32

constexpr float kProductIdentifier = 17.0f;
constexpr uint32_t kDeviceCode = 100017001;  // what an image must be built for
constexpr uint32_t kFactorySerial = 470010000;

enum class StartingIdentity {
  kFactoryDefaults,  // configuration page with the default records
  kBlank,            // configuration and calibration pages blank
  kGiven,            // configuration page with the given serial number and MAC
};

struct DeviceOptions {
  bool isMax = false;
  StartingIdentity identity = StartingIdentity::kFactoryDefaults;
  uint32_t serialNumber = kFactorySerial;  // kGiven
  uint64_t mac = 0x027C4B002000;           // kGiven
  // The firmware the device leaves the factory with (its info page).
  float factoryFirmwareVersion = 1.0f;
  float bootloaderVersion = 0.90f;
};

// The state the register blocks work on; guarded by the device lock.
struct DeviceCore {
  DeviceOptions options;
  bool isMax = false;
  float firmwareVersion = 0.0f;  // decided at power-on from the info page
  float bootloaderVersion = 0.0f;
  FlashMemory flash;
  bool restartRequested = false;
  // Flash write fault: -1 none; otherwise the number of window writes that
  // still succeed before every further one fails.
  int flashWriteFailAfter = -1;
  uint64_t packets = 0;
  // Bumped by persistent state outside the flash (see AddStateSection).
  uint64_t otherStateGeneration = 0;
};

// One tagged piece of the state file.
struct StateSection {
  std::string tag;  // four characters
  std::vector<uint8_t> bytes;
};

// The running firmware's version as the device finds it in its info page:
// the version field of a valid image header (magic "QXFX", built for this
// device), 0.0 when the page holds none (the device then runs its
// bootloader only).
float FirmwareVersionFromInfoPage(const uint8_t* page);
// The info page of a factory-fresh device: an image header with the version.
void WriteFactoryInfoPage(uint8_t* page, float version);

// Registers of the core model, for the constructor.
void InstallCoreRegisters(RegisterMap& map, DeviceCore& core);

class VirtualDevice {
 public:
  explicit VirtualDevice(DeviceOptions options = DeviceOptions());
  VirtualDevice(const VirtualDevice&) = delete;
  VirtualDevice& operator=(const VirtualDevice&) = delete;

  // Runs an installer (register_map.h) under the lock.
  void Install(const std::function<void(RegisterMap&, DeviceCore&)>& installer);
  // Any compound access to the state, under the lock.
  template <typename F>
  auto WithCore(F f) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f(core_);
  }

  // One feedback request; records = the bytes after the function code.
  // Returns 0 with the read records' data in *readData, or an exception
  // code. The records are checked whole first (form, reply size, every
  // register mapped), so a malformed request changes nothing; then they run
  // in order, and the first refusal stops the rest (earlier ones stand).
  uint8_t Feedback(const uint8_t* records, size_t length, std::vector<uint8_t>* readData);
  // True once after a request wrote the restart register.
  bool TakeRestartRequest();
  // Volatile registers back to power-on values; the running firmware is the
  // one the info page names. Runs at construction and after every restart.
  void PowerOn();

  // Registers through the same handlers as the wire.
  uint8_t ReadRegisters(uint16_t address, size_t count, uint16_t* values);
  uint8_t WriteRegisters(uint16_t address, size_t count, const uint16_t* values);
  // Typed reads of two registers; throw std::runtime_error on an exception.
  uint32_t ReadU32(uint16_t address);
  float ReadF32(uint16_t address);

  // Flash, raw (no key, no AND); throw std::out_of_range outside a region.
  std::vector<uint8_t> PeekFlash(uint32_t address, size_t length) const;
  void PokeFlash(uint32_t address, const std::vector<uint8_t>& bytes);
  void BlankFlash(uint32_t address, size_t length);

  // Identity as the registers show it.
  uint32_t SerialNumber() const;
  uint64_t Mac() const;
  // Writes the configuration page's records (raw), as the factory would.
  void SetIdentity(uint32_t serialNumber, uint64_t mac);
  bool isMax() const;
  void SetMax(bool isMax);
  float firmwareVersion() const;
  float bootloaderVersion() const;
  void SetBootloaderVersion(float version);

  void SetFlashWriteFault(int failAfter);  // -1: off; 0: every write fails
  uint64_t flashEraseCount() const;
  uint64_t flashWriteCount() const;
  uint64_t packetCount() const;
  // Changes with every change of what SaveState would write.
  uint64_t StateGeneration() const;

  // Persistent state: the flash regions, the sections that features added,
  // and sections of unknown tags carried over from the file as they were.
  // LoadState checks the flash sections before it takes any; a feature's
  // section that refuses its bytes fails the load (the bench then does not
  // start).
  std::vector<StateSection> SaveState() const;
  bool LoadState(const std::vector<StateSection>& sections, std::string* error);
  // A feature's persistent state (called under the lock; load returns
  // false for bytes it cannot take). The feature bumps
  // core.otherStateGeneration when it changes.
  void AddStateSection(const std::string& tag,
                       std::function<std::vector<uint8_t>(const DeviceCore&)> save,
                       std::function<bool(DeviceCore&, const std::vector<uint8_t>&)> load);

 private:
  struct Section {
    std::string tag;
    std::function<std::vector<uint8_t>(const DeviceCore&)> save;
    std::function<bool(DeviceCore&, const std::vector<uint8_t>&)> load;
  };
  void PowerOnLocked();

  mutable std::mutex mutex_;
  DeviceCore core_;
  RegisterMap map_;
  std::vector<Section> sections_;
  std::vector<StateSection> foreign_;  // unknown tags from the loaded file
};

}  // namespace qxsim
