#include "sim/virtual_device.h"

#include <cstring>
#include <memory>
#include <stdexcept>

#include "platform/byte_order.h"
#include "sim/core/protocol.h"
#include "sim/feedback.h"

namespace qxsim {

namespace {

constexpr char kFlashTag[] = "FLSH";

const FlashRegion* RegionAt(uint32_t base) {
  for (const FlashRegion& r : kFlashRegions) {
    if (r.base == base) return &r;
  }
  return nullptr;
}

}  // namespace

VirtualDevice::Lock::Lock(const VirtualDevice& device) : device_(device) {
  if (device_.holder_.load() == std::this_thread::get_id()) {
    throw std::logic_error("a device operation was called from inside a register handler");
  }
  device_.mutex_.lock();
  device_.holder_.store(std::this_thread::get_id());
}

VirtualDevice::Lock::~Lock() {
  device_.holder_.store(std::thread::id());
  device_.mutex_.unlock();
}

VirtualDevice::VirtualDevice(DeviceOptions options) : core_(options) {
  WriteFactoryInfoPage(core_.flash.RegionBytes(kInfoRegion).data(), options.factoryFirmwareVersion);
  uint8_t* config = core_.flash.RegionBytes(kConfigRegion).data();
  if (options.identity == StartingIdentity::kFactoryDefaults) {
    WriteIdentityRecords(config, kFactorySerial, kSimDefaultMac);
  } else if (options.identity == StartingIdentity::kGiven) {
    WriteIdentityRecords(config, options.serialNumber, options.mac);
  }
  InstallCore();
  core_.settings.SetName(options.name);
  PowerOnLocked();
  AddStateSection(
      "SETN", [](const DeviceCore& core) { return core.settings.Save(); },
      [](DeviceCore& core, const std::vector<uint8_t>& bytes) {
        return core.settings.Load(bytes);
      });
}

void VirtualDevice::InstallCore() {
  core_.versions.Install(map_);
  core_.identity.Install(map_);
  core_.flashInterface.Install(map_);
  core_.deviceClock.Install(map_);
  core_.dio.Install(map_);
  core_.stream.Install(map_);
  core_.counters.Install(map_);
  core_.settings.Install(map_);
  core_.analog.Install(map_);
  map_.Map(kOpeningU16Register, 1, std::make_shared<StoredRegisters>(kOpeningU16Register, 1));
  DeviceCore& core = core_;
  map_.Map(kRestartRegister, 2,
           std::make_shared<FunctionRegisters>(
               [](uint16_t, size_t count, uint16_t* values) {
                 for (size_t i = 0; i < count; ++i) values[i] = 0;
                 return static_cast<uint8_t>(kExceptionNone);
               },
               [&core](uint16_t address, size_t count, const uint16_t* values) {
                 if (address != kRestartRegister || count != 2) {
                   return static_cast<uint8_t>(kIllegalDataAddress);
                 }
                 if (GetU32(values) != kRestartValue)
                   return static_cast<uint8_t>(kIllegalDataValue);
                 core.restartRequested = true;
                 return static_cast<uint8_t>(kExceptionNone);
               }));
}

void VirtualDevice::Install(const std::function<void(RegisterMap&, DeviceCore&)>& installer) {
  Lock lock(*this);
  installer(map_, core_);
}

uint8_t VirtualDevice::Feedback(const uint8_t* records, size_t length, uint8_t* readData,
                                size_t* readBytes, bool* restartRequested) {
  *readBytes = 0;
  *restartRequested = false;
  // Form and reply size first, without the lock: they depend on the bytes only.
  size_t at = 0;
  size_t replyBytes = kHeaderBytes;
  FeedbackRecord r;
  while (at < length) {
    uint8_t e = NextFeedbackRecord(records, length, &at, &r);
    if (e != kExceptionNone) return e;
    if (!r.write) {
      replyBytes += size_t{r.count} * 2;
      if (replyBytes > kMaxPacketBytes) return kIllegalDataValue;
    }
  }
  Lock lock(*this);
  ++core_.packets;
  uint64_t otherBefore = OtherGenerationLocked();
  size_t out = 0;
  uint8_t e = FeedbackLocked(records, length, readData, &out);
  *restartRequested = core_.restartRequested.exchange(false);
  if (!KeepChangesLocked(otherBefore)) return kDeviceFailure;
  if (e == kExceptionNone) *readBytes = out;
  return e;
}

uint8_t VirtualDevice::FeedbackLocked(const uint8_t* records, size_t length, uint8_t* readData,
                                      size_t* readBytes) {
  FeedbackRecord r;
  for (size_t at = 0; at < length;) {
    NextFeedbackRecord(records, length, &at, &r);
    if (!map_.Covers(r.address, r.count)) return kIllegalDataAddress;
  }
  uint16_t values[255];
  size_t out = 0;
  for (size_t at = 0; at < length;) {
    NextFeedbackRecord(records, length, &at, &r);
    uint8_t e;
    if (r.write) {
      for (size_t i = 0; i < r.count; ++i) {
        values[i] = static_cast<uint16_t>(r.data[2 * i] << 8 | r.data[2 * i + 1]);
      }
      e = map_.Write(r.address, r.count, values);
    } else {
      e = map_.Read(r.address, r.count, values);
      for (size_t i = 0; e == kExceptionNone && i < r.count; ++i) {
        readData[out++] = static_cast<uint8_t>(values[i] >> 8);
        readData[out++] = static_cast<uint8_t>(values[i]);
      }
    }
    if (e != kExceptionNone) return e;
  }
  *readBytes = out;
  return kExceptionNone;
}

bool VirtualDevice::KeepChangesLocked(uint64_t otherBefore) {
  std::vector<FlashPatch> changes = core_.flash.TakeChanges();
  if (!persistence_.save) return true;
  std::string error;
  if (OtherGenerationLocked() != otherBefore)
    return persistence_.save(SaveStateLocked(), false, &error);
  if (!changes.empty()) return persistence_.journal(changes, &error);
  return true;
}

uint8_t VirtualDevice::LinkRead(uint16_t address, size_t count, uint16_t* values) {
  Lock lock(*this);
  ++core_.packets;
  uint64_t otherBefore = OtherGenerationLocked();
  uint8_t e = map_.Read(address, count, values);
  return KeepChangesLocked(otherBefore) ? e : static_cast<uint8_t>(kDeviceFailure);
}

uint8_t VirtualDevice::LinkWrite(uint16_t address, size_t count, const uint16_t* values,
                                 bool* restartRequested) {
  Lock lock(*this);
  ++core_.packets;
  uint64_t otherBefore = OtherGenerationLocked();
  uint8_t e = map_.Write(address, count, values);
  *restartRequested = core_.restartRequested.exchange(false);
  return KeepChangesLocked(otherBefore) ? e : static_cast<uint8_t>(kDeviceFailure);
}

void VirtualDevice::PowerOn() {
  Lock lock(*this);
  PowerOnLocked();
}

void VirtualDevice::PowerOnLocked() {
  core_.restartRequested = false;
  core_.versions.PowerOn();
  core_.flashInterface.PowerOn();
  core_.dio.PowerOn();
  core_.stream.PowerOn();
  core_.counters.PowerOn();
  core_.analog.PowerOn();
  map_.PowerOn();
}

uint8_t VirtualDevice::ReadRegisters(uint16_t address, size_t count, uint16_t* values) {
  Lock lock(*this);
  return map_.Read(address, count, values);
}

uint8_t VirtualDevice::WriteRegisters(uint16_t address, size_t count, const uint16_t* values) {
  Lock lock(*this);
  return map_.Write(address, count, values);
}

uint32_t VirtualDevice::ReadU32(uint16_t address) {
  uint16_t v[2];
  uint8_t e = ReadRegisters(address, 2, v);
  if (e != kExceptionNone) {
    throw std::runtime_error("register " + std::to_string(address) + ": " + SimExceptionName(e));
  }
  return static_cast<uint32_t>(v[0]) << 16 | v[1];
}

float VirtualDevice::ReadF32(uint16_t address) {
  uint32_t bits = ReadU32(address);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::vector<uint8_t> VirtualDevice::PeekFlash(uint32_t address, size_t length) const {
  Lock lock(*this);
  std::vector<uint8_t> bytes(length);
  if (!core_.flash.Peek(address, bytes.data(), length)) {
    throw std::out_of_range("flash range outside the regions");
  }
  return bytes;
}

void VirtualDevice::PokeFlash(uint32_t address, const std::vector<uint8_t>& bytes) {
  Lock lock(*this);
  if (!core_.flash.Poke(address, bytes.data(), bytes.size())) {
    throw std::out_of_range("flash range outside the regions");
  }
}

void VirtualDevice::BlankFlash(uint32_t address, size_t length) {
  Lock lock(*this);
  if (!core_.flash.Blank(address, length)) {
    throw std::out_of_range("flash range outside the regions");
  }
}

uint32_t VirtualDevice::SerialNumber() const {
  Lock lock(*this);
  return core_.identity.serialNumber();
}

uint64_t VirtualDevice::Mac() const {
  Lock lock(*this);
  return core_.identity.mac();
}

void VirtualDevice::SetIdentity(uint32_t serialNumber, uint64_t mac) {
  Lock lock(*this);
  core_.identity.SetIdentity(serialNumber, mac);
}

bool VirtualDevice::isMax() const {
  Lock lock(*this);
  return core_.identity.isMax();
}

void VirtualDevice::SetMax(bool isMax) {
  Lock lock(*this);
  core_.identity.SetMax(isMax);
}

float VirtualDevice::firmwareVersion() const {
  Lock lock(*this);
  return core_.versions.firmware();
}

float VirtualDevice::bootloaderVersion() const {
  Lock lock(*this);
  return core_.versions.bootloader();
}

void VirtualDevice::SetBootloaderVersion(float version) {
  Lock lock(*this);
  core_.versions.SetBootloader(version);
}

void VirtualDevice::SetFlashWriteFault(int failAfter) {
  Lock lock(*this);
  core_.flashInterface.SetWriteFault(failAfter);
}

uint64_t VirtualDevice::flashEraseCount() const {
  Lock lock(*this);
  return core_.flash.eraseCount();
}

uint64_t VirtualDevice::flashWriteCount() const {
  Lock lock(*this);
  return core_.flash.programCount();
}

uint64_t VirtualDevice::packetCount() const {
  Lock lock(*this);
  return core_.packets;
}

uint64_t VirtualDevice::StateGeneration() const {
  Lock lock(*this);
  return GenerationLocked();
}

void VirtualDevice::SetPersistence(Persistence persistence) {
  Lock lock(*this);
  persistence_ = std::move(persistence);
  core_.flash.TakeChanges();
}

bool VirtualDevice::Persist(bool sync, std::string* error) {
  Lock lock(*this);
  core_.flash.TakeChanges();  // all in the whole state
  return !persistence_.save || persistence_.save(SaveStateLocked(), sync, error);
}

std::vector<StateSection> VirtualDevice::SaveState() const {
  Lock lock(*this);
  return SaveStateLocked();
}

std::vector<StateSection> VirtualDevice::SaveStateLocked() const {
  std::vector<StateSection> out;
  for (const FlashRegion& r : kFlashRegions) {
    StateSection s{kFlashTag, std::vector<uint8_t>(4)};
    PutU32BE(s.bytes.data(), s.bytes.size(), 0, r.base);
    const std::vector<uint8_t>& bytes = core_.flash.RegionBytes(r);
    s.bytes.insert(s.bytes.end(), bytes.begin(), bytes.end());
    out.push_back(std::move(s));
  }
  for (const Section& section : sections_) out.push_back({section.tag, section.save(core_)});
  out.insert(out.end(), foreign_.begin(), foreign_.end());
  return out;
}

bool VirtualDevice::LoadState(const std::vector<StateSection>& sections, std::string* error) {
  Lock lock(*this);
  // Flash sections are checked before any is taken.
  for (const StateSection& s : sections) {
    if (s.tag != kFlashTag) continue;
    const FlashRegion* r =
        s.bytes.size() >= 4 ? RegionAt(GetU32BE(s.bytes.data(), s.bytes.size(), 0)) : nullptr;
    if (r == nullptr || s.bytes.size() != 4 + size_t{r->size}) {
      *error = "state file holds a flash section that fits no region";
      return false;
    }
  }
  std::vector<StateSection> foreign;
  for (const StateSection& s : sections) {
    if (s.tag == kFlashTag) {
      std::vector<uint8_t>& bytes =
          core_.flash.RegionBytes(*RegionAt(GetU32BE(s.bytes.data(), s.bytes.size(), 0)));
      bytes.assign(s.bytes.begin() + 4, s.bytes.end());
      continue;
    }
    bool known = false;
    for (const Section& section : sections_) {
      if (section.tag != s.tag) continue;
      known = true;
      if (!section.load(core_, s.bytes)) {
        *error = "state file section " + s.tag + " cannot be loaded";
        return false;
      }
    }
    if (!known) foreign.push_back(s);
  }
  foreign_ = std::move(foreign);
  PowerOnLocked();
  return true;
}

void VirtualDevice::AddStateSection(
    const std::string& tag, std::function<std::vector<uint8_t>(const DeviceCore&)> save,
    std::function<bool(DeviceCore&, const std::vector<uint8_t>&)> load) {
  if (tag.size() != 4 || tag == kFlashTag) throw std::logic_error("bad state section tag " + tag);
  Lock lock(*this);
  for (const Section& s : sections_) {
    if (s.tag == tag) throw std::logic_error("state section " + tag + " added twice");
  }
  sections_.push_back(Section{tag, std::move(save), std::move(load)});
}

}  // namespace qxsim
