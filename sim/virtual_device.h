// The virtual Z5: one device state behind both endpoints, assembled here from
// the core (sim/core/: the register map, the flash, the clock, the state
// file) and the features (sim/features/), each of which keeps its own state
// and registers; features reach each other by reference. This class runs
// power-on and restart and keeps the state sections. Requests come in
// through Feedback (sim/feedback.h frames them).
//
// Thread-safe: every public operation takes the device lock, and a whole
// feedback request runs under it, so requests from the two endpoints never
// interleave inside one packet. Register handlers run under the lock and see
// only state objects, never this class; a public operation called from
// inside a handler throws std::logic_error instead of deadlocking.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/core/flash.h"
#include "sim/core/register_map.h"
#include "sim/core/sim_clock.h"
#include "sim/core/state_file.h"
#include "sim/features/analog.h"
#include "sim/features/clock.h"
#include "sim/features/counters.h"
#include "sim/features/dio.h"
#include "sim/features/flash_interface.h"
#include "sim/features/identity.h"
#include "sim/features/settings.h"
#include "sim/features/stream.h"
#include "sim/features/versions.h"
#include "sim/feedback.h"

namespace qxsim {

constexpr uint16_t kRestartRegister = 61996;  // U32
constexpr uint32_t kRestartValue = 0x6B2E41D7;
// Written by the opening test; kept, not acted on yet. (Its other write,
// 4992, stops the stream.)
constexpr uint16_t kOpeningU16Register = 48005;

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
  ClockSettings clock;
  AnalogOptions analog;
  // The device's name, any bytes, at most 40 (empty: a blank name).
  std::string name;
  // The bench's clock (null: the platform clock in force).
  platform::Clock* simClock = nullptr;
};

// The device's state, the core's and every feature's; guarded by the device
// lock.
struct DeviceCore {
  explicit DeviceCore(const DeviceOptions& o)
      : options(o),
        clock(o.simClock),
        versions(flash, o.bootloaderVersion),
        identity(flash, o.isMax),
        flashInterface(flash),
        deviceClock(clock, o.clock),
        stream(clock),
        counters(clock),
        analog(flash, identity, o.analog) {}
  DeviceOptions options;
  SimClock clock;
  FlashMemory flash;
  // Also read outside the lock, by the link's loop.
  std::atomic<bool> restartRequested{false};
  uint64_t packets = 0;
  // Bumped by persistent state outside the flash (see AddStateSection).
  uint64_t otherStateGeneration = 0;

  Versions versions;
  Identity identity;
  FlashInterface flashInterface;
  DeviceClock deviceClock;
  DioLines dio;
  Stream stream;
  Counters counters;
  DeviceSettings settings;
  AnalogFrontEnd analog;
};

class VirtualDevice {
 public:
  explicit VirtualDevice(DeviceOptions options = DeviceOptions());
  VirtualDevice(const VirtualDevice&) = delete;
  VirtualDevice& operator=(const VirtualDevice&) = delete;

  // Runs an installer (register_map.h) under the lock: how parts outside
  // the device (the jig) add registers and wire themselves to the features.
  void Install(const std::function<void(RegisterMap&, DeviceCore&)>& installer);
  // Any compound access to the state, under the lock.
  template <typename F>
  auto WithCore(F f) {
    Lock lock(*this);
    return f(core_);
  }
  // The bench's clock; safe without the lock.
  const SimClock& clock() const { return core_.clock; }

  // One feedback request; records = the bytes after the function code.
  // Returns 0 with the read records' data, big-endian, in readData (room for
  // kMaxPacketBytes - kHeaderBytes) and its size in *readBytes, or an
  // exception code. The records are checked whole first (form, reply size,
  // every register mapped), so a malformed request changes nothing; then
  // they run in order, and the first refusal stops the rest (earlier ones
  // stand). One lock, no allocation. *restartRequested tells whether this
  // request wrote the restart register: taken under the same lock, so
  // requests served at once on other links never take it for their own.
  uint8_t Feedback(const uint8_t* records, size_t length, uint8_t* readData, size_t* readBytes,
                   bool* restartRequested);
  // A standard Modbus read or write from a link: as ReadRegisters and
  // WriteRegisters, counted as a request.
  uint8_t LinkRead(uint16_t address, size_t count, uint16_t* values);
  uint8_t LinkWrite(uint16_t address, size_t count, const uint16_t* values, bool* restartRequested);
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
  // Where the state goes, so that nothing answered is lost if the process
  // dies: after every request that changed the flash, and before it is
  // answered, journal gets the changed bytes (save gets the whole state when
  // other state changed); Persist hands save the whole state. Both run under
  // the lock, one at a time. A failure turns the request's answer into
  // kDeviceFailure.
  struct Persistence {
    std::function<bool(const std::vector<FlashPatch>&, std::string*)> journal;
    std::function<bool(const std::vector<StateSection>&, bool sync, std::string*)> save;
  };
  void SetPersistence(Persistence persistence);
  // Hands the whole state to save now (true without one).
  bool Persist(bool sync, std::string* error);
  void AddStateSection(const std::string& tag,
                       std::function<std::vector<uint8_t>(const DeviceCore&)> save,
                       std::function<bool(DeviceCore&, const std::vector<uint8_t>&)> load);

 private:
  // The device lock; refuses a thread that already holds it (a handler
  // calling back into the device), which would otherwise deadlock.
  class Lock {
   public:
    explicit Lock(const VirtualDevice& device);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    const VirtualDevice& device_;
  };
  struct Section {
    std::string tag;
    std::function<std::vector<uint8_t>(const DeviceCore&)> save;
    std::function<bool(DeviceCore&, const std::vector<uint8_t>&)> load;
  };
  void InstallCore();
  void PowerOnLocked();
  uint8_t FeedbackLocked(const uint8_t* records, size_t length, uint8_t* readData,
                         size_t* readBytes);
  // Journals the flash's changes, or saves the state when more than the
  // flash changed; false when that failed (the request then fails).
  bool KeepChangesLocked(uint64_t otherBefore);
  std::vector<StateSection> SaveStateLocked() const;
  // What is kept besides the flash.
  uint64_t OtherGenerationLocked() const {
    return core_.otherStateGeneration + core_.settings.generation();
  }
  uint64_t GenerationLocked() const { return core_.flash.generation() + OtherGenerationLocked(); }

  mutable std::mutex mutex_;
  mutable std::atomic<std::thread::id> holder_{};  // the thread inside the lock
  DeviceCore core_;
  RegisterMap map_;
  std::vector<Section> sections_;
  std::vector<StateSection> foreign_;  // unknown tags from the loaded file
  Persistence persistence_;
};

}  // namespace qxsim
